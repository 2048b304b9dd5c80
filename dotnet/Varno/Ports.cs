using System.Collections.Generic;

namespace Varno
{
    /// <summary>One serial port as the library lists it.</summary>
    /// <param name="Device">The name to open: "/dev/ttyUSB0", "COM3".</param>
    /// <param name="StablePath">A name that survives re-plugging ("/dev/serial/by-id/..."), or "".</param>
    /// <param name="Driver">"ftdi_sio", "8250", "usbser"... or "".</param>
    /// <param name="Manufacturer">The USB manufacturer string, or "".</param>
    /// <param name="Product">The USB product string (Windows: the friendly name), or "".</param>
    /// <param name="SerialNumber">The USB serial number, or "".</param>
    /// <param name="VendorId">The USB vendor id; 0 when not USB.</param>
    /// <param name="ProductId">The USB product id; 0 when not USB.</param>
    /// <param name="IsUsb">A USB adapter.</param>
    /// <param name="IsVirtual">A pseudo-terminal, or a virtual or absent legacy port.</param>
    public sealed record PortInfo(string Device, string StablePath, string Driver, string Manufacturer,
                                  string Product, string SerialNumber, ushort VendorId, ushort ProductId,
                                  bool IsUsb, bool IsVirtual);

    /// <summary>The machine's serial ports (varnoListPorts).</summary>
    public static class Ports
    {
        /// <summary>
        /// The system's serial ports, in name order; with <paramref name="includeAll"/> also
        /// pseudo-terminals and virtual or absent legacy ports. Linux reads sysfs and opens
        /// nothing; Windows asks SetupAPI.
        /// </summary>
        /// <exception cref="VarnoException">The listing failed.</exception>
        public static unsafe IReadOnlyList<PortInfo> List(bool includeAll = false)
        {
            Native.EnsureLoaded();
            uint flags = includeAll ? 1u : 0u;
            int capacity = 0;
            NativePortInfo[] entries;
            int count;
            while (true)
            {
                entries = new NativePortInfo[capacity];
                fixed (NativePortInfo* first = entries)
                {
                    count = Native.varnoListPorts(capacity == 0 ? null : first, capacity, flags);
                }
                if (count < 0)
                {
                    throw new VarnoException(count);
                }
                if (count <= capacity)
                {
                    break;
                }
                capacity = count + 4; // a port may come between two calls
            }
            var ports = new List<PortInfo>(count);
            for (int i = 0; i < count; i++)
            {
                fixed (NativePortInfo* e = &entries[i])
                {
                    ports.Add(new PortInfo(Native.Text(e->Device), Native.Text(e->StablePath), Native.Text(e->Driver),
                                           Native.Text(e->Manufacturer), Native.Text(e->Product),
                                           Native.Text(e->SerialNumber), e->VendorId, e->ProductId,
                                           (e->Flags & 1) != 0, (e->Flags & 2) != 0));
                }
            }
            return ports;
        }
    }
}
