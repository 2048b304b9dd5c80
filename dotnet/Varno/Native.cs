using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

namespace Varno
{
    /// <summary>struct VarnoFrame: the fields of a frame, a byte each, and the data word.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    internal struct NativeFrame
    {
        public byte Dest, Source, Code, Param, Status, Error;
        public uint Data; // the four bytes as they lie in memory; only ever copied whole

        public static NativeFrame Command(byte dest, byte source, byte code, byte param, Data data)
        {
            return new NativeFrame { Dest = dest, Source = source, Code = code, Param = param, Data = data.Raw };
        }

        /// <summary>The command seen from the device's side, as the library reports a failed one.</summary>
        public NativeFrame Swapped()
        {
            return new NativeFrame { Dest = Source, Source = Dest, Code = Code, Param = Param, Data = Data };
        }

        public Reply ToReply()
        {
            return new Reply((byte)(Dest & 0x7F), Source, Code, Param, Status, Error, Varno.Data.OfRaw(Data));
        }
    }

    /// <summary>struct VarnoPortInfo.</summary>
    [StructLayout(LayoutKind.Sequential)]
    internal unsafe struct NativePortInfo
    {
        public fixed byte Device[256];
        public fixed byte StablePath[256];
        public fixed byte Driver[64];
        public fixed byte Manufacturer[128];
        public fixed byte Product[128];
        public fixed byte SerialNumber[128];
        public ushort VendorId;
        public ushort ProductId;
        public uint Flags;
    }

    /// <summary>The library's C interface. Every function has the C calling convention (__cdecl
    /// on Windows, which matters on x86). Only blittable types cross: no marshalling stubs on a
    /// transaction's path, and C's one-byte bool comes back as a byte.</summary>
    internal static unsafe class Native
    {
        // DllImport finds libVarnoDLL.so on Linux and VarnoDLL.dll on Windows by this name.
        internal const string Library = "VarnoDLL";

        internal const int Reply = 0;
        internal const int WriteTimeout = 1;
        internal const int WriteFailed = 2;
        internal const int NoReply = 3;
        internal const int ReadFailed = 4;
        internal const int InvalidReply = 5;

        internal const int ENotFound = -2;
        internal const int EPermission = -3;
        internal const int EInUse = -4;
        internal const int EBusy = -14;
        internal const int EClosed = -15;
        internal const int EWriteStart = -16;

        internal const int StateIdle = 1;
        internal const uint NoLimit = 0xFFFFFFFF;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void ReplyHandler(IntPtr context, NativeFrame* reply, int outcome);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void LogHandler(IntPtr context, byte* text);

        static Native()
        {
            Preload();
            Diagnostics.Install();
        }

        /// <summary>Loads nothing by itself: makes sure the static constructor (which finds the
        /// library where the runtime would not) has run.</summary>
        internal static void EnsureLoaded() { }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoLinkOpen(byte* portName, uint baudRate, IntPtr* link);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void varnoLinkClose(IntPtr link);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoLinkState(IntPtr link);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoLinkSend(IntPtr link, NativeFrame* command, uint writeTimeoutMs,
                                                 uint replyTimeoutMs, IntPtr handler, IntPtr context);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoLinkTransact(IntPtr link, NativeFrame* command, uint writeTimeoutMs,
                                                     uint replyTimeoutMs, NativeFrame* reply);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte* varnoErrorText(int code);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void varnoSetLogHandler(IntPtr handler, IntPtr context);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte varnoOpenSerialPortA(byte* portName, uint baudRate);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte* varnoVersion();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern uint varnoDataToUInt(byte* data);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte varnoUIntToData(uint value, byte* data);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern float varnoDataToFloat(byte* data);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte varnoFloatToData(float value, byte decimals, byte* data);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoFrameEncode(NativeFrame* frame, byte* bytes12);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoFrameDecode(byte* bytes12, NativeFrame* frame);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int varnoListPorts(NativePortInfo* ports, int capacity, uint flags);

        /// <summary>A NUL-terminated UTF-8 text of the library's (static: never freed).</summary>
        internal static string Text(byte* text)
        {
            if (text == null)
            {
                return string.Empty;
            }
            int length = 0;
            while (text[length] != 0)
            {
                length++;
            }
            return Encoding.UTF8.GetString(text, length);
        }

        internal static string ErrorText(int code) => Text(varnoErrorText(code));

        internal static string Version() => Text(varnoVersion());

        /// <summary>A port name as the library takes it, in unmanaged memory (free it with
        /// Marshal.FreeHGlobal): on Windows in the system's ANSI code page, since the library
        /// opens ports with the narrow calls; elsewhere UTF-8.</summary>
        internal static IntPtr PortName(string name) => Marshal.StringToHGlobalAnsi(name);

        internal static bool IsWindows => RuntimeInformation.IsOSPlatform(OSPlatform.Windows);

        // Where the runtime's own search would not find the library:
        // - VARNO_LIBRARY names it (a path): taken on .NET 8 and later through the import
        //   resolver, on Windows also under .NET Framework by loading it first;
        // - a .NET Framework host has the DLLs under runtimes/win-x64|x86/native beside this
        //   assembly (the package's build targets put them there), not beside it.
        // Windows takes an already loaded VarnoDLL.dll for a DllImport of "VarnoDLL".
        private static void Preload()
        {
            string? explicitPath = Environment.GetEnvironmentVariable("VARNO_LIBRARY");
#if NET5_0_OR_GREATER
            if (!string.IsNullOrEmpty(explicitPath))
            {
                try
                {
                    NativeLibrary.SetDllImportResolver(typeof(Native).Assembly, (name, _, _) =>
                        name == Library ? NativeLibrary.Load(explicitPath!) : IntPtr.Zero);
                }
                catch (InvalidOperationException)
                {
                    // A resolver was set already (by the host): it decides.
                }
                return;
            }
#endif
            if (!IsWindows)
            {
                return;
            }
            string? path = explicitPath;
            if (string.IsNullOrEmpty(path))
            {
                string? here = Path.GetDirectoryName(typeof(Native).Assembly.Location);
                if (string.IsNullOrEmpty(here) || File.Exists(Path.Combine(here, "VarnoDLL.dll")))
                {
                    return;
                }
                string rid = Environment.Is64BitProcess ? "win-x64" : "win-x86";
                path = Path.Combine(here, "runtimes", rid, "native", "VarnoDLL.dll");
                if (!File.Exists(path))
                {
                    return;
                }
            }
            LoadLibraryW(path!);
        }

        [DllImport("kernel32", CharSet = CharSet.Unicode, ExactSpelling = true)]
        private static extern IntPtr LoadLibraryW(string path);
    }
}
