#!/usr/bin/python3
"""The Python package making the exchange: link.transact, a blocking call into the library.

    /usr/bin/python3 varno_py_client.py PATH BAUD COUNT|- WARMUP

VARNO_LIBRARY names the library and PYTHONPATH holds python/ (peers.py sets both). Runs and
reports like the other clients (peer_common.py).
"""
import time

from peer_common import arguments, fail, run_blocks

CLIENT = "varno_py_client"


def main():
    path, baud, count, warmup = arguments(CLIENT)
    try:
        import varno
    except ImportError as e:
        fail(CLIENT, f"cannot import varno: {e}")
    try:
        link = varno.Link(path, baud)
    except varno.LinkError as e:
        fail(CLIENT, f"cannot open {path}: {e}")

    # The same command as the other clients: device 1, from 31, code 0, zero data. The
    # package's default time-outs: with longer ones the main thread's transact would wait on the
    # library's worker (to answer Ctrl-C at once), which is the send to callback's path.
    def exchange():
        try:
            reply = link.transact(1, 0, source=31, write_timeout=0.1, reply_timeout=0.1)
        except varno.LinkError as e:
            return f"{type(e).__name__}: {e}"
        return None if (reply.source, reply.dest, reply.code) == (1, 31, 0) else repr(reply)

    def settle():
        time.sleep(0.05)  # whatever is still on its way arrives, and the next write purges it

    run_blocks(CLIENT, count, warmup, exchange, settle)
    link.close()


if __name__ == "__main__":
    main()
