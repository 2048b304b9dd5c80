using System;
using System.Globalization;

namespace Varno
{
    /// <summary>
    /// The frame's 4-byte data word, read as an unsigned integer (<see cref="UInt"/>) or as a
    /// decimal (<see cref="Decimal"/>). Made and read through the library's own conversions.
    /// Two words are equal when their bytes are; <c>default</c> is four zero bytes.
    /// </summary>
    public readonly struct Data : IEquatable<Data>
    {
        // Byte 0 in the lowest eight bits: the word as it lies in the frame on a little-endian
        // machine, which every runtime the package carries a library for is.
        internal readonly uint Raw;

        private Data(uint raw)
        {
            Raw = raw;
        }

        /// <summary>The word of these four bytes, as they go on the wire (byte 0 first).</summary>
        public Data(byte b0, byte b1, byte b2, byte b3)
        {
            Raw = b0 | (uint)b1 << 8 | (uint)b2 << 16 | (uint)b3 << 24;
        }

        /// <summary>The word of these four bytes, as they go on the wire (byte 0 first).</summary>
        /// <exception cref="ArgumentException">Not exactly four bytes.</exception>
        public Data(byte[] bytes)
        {
            if (bytes is null)
            {
                throw new ArgumentNullException(nameof(bytes));
            }
            if (bytes.Length != 4)
            {
                throw new ArgumentException($"a data word is 4 bytes, not {bytes.Length}", nameof(bytes));
            }
            Raw = bytes[0] | (uint)bytes[1] << 8 | (uint)bytes[2] << 16 | (uint)bytes[3] << 24;
        }

        internal static Data OfRaw(uint raw) => new Data(raw);

        /// <summary>The word holding <paramref name="value"/> as an unsigned integer, least
        /// significant byte first (varnoUIntToData).</summary>
        public static unsafe Data FromUInt(uint value)
        {
            uint word = 0;
            Native.varnoUIntToData(value, (byte*)&word);
            return new Data(word);
        }

        /// <summary>
        /// The word holding <paramref name="value"/> with <paramref name="decimals"/> places
        /// (varnoFloatToData): the value is taken in single precision, scaled, rounded half away
        /// from zero, and its low 24 bits kept; at most 3 places are stored; NaN, the infinities
        /// and values beyond 2^63 store 0.
        /// </summary>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="decimals"/> is outside 0..255.</exception>
        public static unsafe Data FromDecimal(double value, int decimals)
        {
            if (decimals < 0 || decimals > 255)
            {
                throw new ArgumentOutOfRangeException(nameof(decimals), decimals, "decimals must be 0..255");
            }
            uint word = 0;
            // Beyond single precision's range the conversion gives an infinity, as the library
            // expects; (float) never throws.
            Native.varnoFloatToData((float)value, (byte)decimals, (byte*)&word);
            return new Data(word);
        }

        /// <summary>The word as an unsigned 32-bit integer, least significant byte first
        /// (varnoDataToUInt).</summary>
        public unsafe uint UInt
        {
            get
            {
                uint word = Raw;
                return Native.varnoDataToUInt((byte*)&word);
            }
        }

        /// <summary>The word as a decimal (varnoDataToFloat): the library's single-precision
        /// value, given as the shortest decimal that reads back to it (123.45, not
        /// 123.44999694824219).</summary>
        public unsafe double Decimal
        {
            get
            {
                uint word = Raw;
                float single = Native.varnoDataToFloat((byte*)&word);
                return ShortestDecimal(single);
            }
        }

        /// <summary>The number of decimal places the word says it has (its byte 3).</summary>
        public int Decimals => (int)(Raw >> 24);

        /// <summary>Byte 0 (sent first).</summary>
        public byte Byte0 => (byte)Raw;

        /// <summary>Byte 1.</summary>
        public byte Byte1 => (byte)(Raw >> 8);

        /// <summary>Byte 2.</summary>
        public byte Byte2 => (byte)(Raw >> 16);

        /// <summary>Byte 3 (sent last).</summary>
        public byte Byte3 => (byte)(Raw >> 24);

        /// <summary>Byte <paramref name="index"/> (0..3), in the order they go on the wire.</summary>
        public byte this[int index]
        {
            get
            {
                if ((uint)index > 3)
                {
                    throw new ArgumentOutOfRangeException(nameof(index), index, "a data word has bytes 0..3");
                }
                return (byte)(Raw >> (8 * index));
            }
        }

        /// <summary>The four bytes, in the order they go on the wire.</summary>
        public byte[] ToArray() => new[] { Byte0, Byte1, Byte2, Byte3 };

        /// <inheritdoc/>
        public bool Equals(Data other) => Raw == other.Raw;

        /// <inheritdoc/>
        public override bool Equals(object? obj) => obj is Data other && Equals(other);

        /// <inheritdoc/>
        public override int GetHashCode() => (int)Raw;

        /// <summary>Equal when the bytes are.</summary>
        public static bool operator ==(Data left, Data right) => left.Raw == right.Raw;

        /// <summary>Unequal when a byte differs.</summary>
        public static bool operator !=(Data left, Data right) => left.Raw != right.Raw;

        /// <summary>The bytes, and both readings: "39 30 00 02 (uint 33566777, decimal 123.45)".</summary>
        public override string ToString()
        {
            return string.Format(CultureInfo.InvariantCulture, "{0:X2} {1:X2} {2:X2} {3:X2} (uint {4}, decimal {5})",
                Byte0, Byte1, Byte2, Byte3, UInt, Decimal.ToString("R", CultureInfo.InvariantCulture));
        }

        // (double)123.45f is 123.44999694824219; the text that single precision reads back as the
        // same value is what the device meant.
        private static double ShortestDecimal(float value)
        {
            if (float.IsNaN(value) || float.IsInfinity(value) || value == 0)
            {
                return value;
            }
            string text = value.ToString("R", CultureInfo.InvariantCulture);
            return double.Parse(text, NumberStyles.Float, CultureInfo.InvariantCulture);
        }
    }
}
