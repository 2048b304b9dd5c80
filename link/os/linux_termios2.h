// The kernel's termios2, which carries the baud rate as a number (so any rate can be set) and
// which <termios.h> does not declare. The layout is the kernel's; TCGETS2 and TCSETS2 come with
// <sys/ioctl.h>.
#ifndef VARNO_SERIAL_POSIX_TERMIOS2_H
#define VARNO_SERIAL_POSIX_TERMIOS2_H

#include <sys/ioctl.h>
#include <termios.h>

struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};

#ifndef BOTHER
#define BOTHER 0010000
#endif
#ifndef IBSHIFT
#define IBSHIFT 16
#endif

#endif  // VARNO_SERIAL_POSIX_TERMIOS2_H
