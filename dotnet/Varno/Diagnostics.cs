using System;
using System.Runtime.InteropServices;
using System.Threading;
using Microsoft.Extensions.Logging;

namespace Varno
{
    /// <summary>
    /// The library's diagnostics: every text it would write to the standard error stream (the
    /// classic functions' among them) goes to <see cref="Logger"/>, at level Warning, or
    /// nowhere while it is null. So do exceptions thrown by send handlers of links opened
    /// without a logger of their own (level Error). The package sets the library's log handler
    /// (varnoSetLogHandler, process-wide) when it first calls the library; a host that sets one of
    /// its own through the C interface afterwards gets the texts instead.
    /// </summary>
    public static unsafe class Diagnostics
    {
        // Kept for the life of the process: the library may log from any thread at any time.
        private static readonly Native.LogHandler s_onLog = OnLog;
        private static ILogger? s_logger;

        /// <summary>Where the library's texts go; null (the default): nowhere.</summary>
        public static ILogger? Logger
        {
            get => Volatile.Read(ref s_logger);
            set
            {
                Native.EnsureLoaded();
                Volatile.Write(ref s_logger, value);
            }
        }

        /// <summary>The loaded library's version, "MAJOR.MINOR.PATCH".</summary>
        public static string LibraryVersion
        {
            get
            {
                Native.EnsureLoaded();
                return Native.Version();
            }
        }

        /// <summary>From the native methods' static constructor: the library's texts come here
        /// from then on.</summary>
        internal static void Install()
        {
            Native.varnoSetLogHandler(Marshal.GetFunctionPointerForDelegate(s_onLog), IntPtr.Zero);
            // Past this point managed code may no longer run: the standard error stream again.
            AppDomain.CurrentDomain.ProcessExit += (_, _) => Native.varnoSetLogHandler(IntPtr.Zero, IntPtr.Zero);
        }

        // On whichever thread the library logs from. Nothing may leave this method.
        private static unsafe void OnLog(IntPtr context, byte* text)
        {
            try
            {
                ILogger? logger = Volatile.Read(ref s_logger);
                if (logger is null)
                {
                    return;
                }
                // Most texts begin with a line feed, as written to the terminal.
                logger.Log(LogLevel.Warning, new EventId(1, "VarnoDLL"), "{VarnoText}", Native.Text(text).Trim());
            }
            catch
            {
                // A logger that throws would end the process from here.
            }
        }
    }
}
