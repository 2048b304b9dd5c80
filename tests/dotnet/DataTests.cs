using System;
using Xunit;

namespace Varno.Tests;

/// <summary>Data words, frames and the port list, through the library.</summary>
public class DataTests
{
    [Fact]
    public void DataWordsReadAndWriteThroughTheLibrary()
    {
        Data word = Data.FromDecimal(123.45, 2);
        Assert.Equal(new byte[] { 0x39, 0x30, 0x00, 0x02 }, word.ToArray());
        Assert.Equal((123.45, 2, 0x02003039u), (word.Decimal, word.Decimals, word.UInt));
        Assert.Equal(word, new Data(0x39, 0x30, 0x00, 0x02));
        Assert.True(word == new Data(new byte[] { 0x39, 0x30, 0x00, 0x02 }));
        Assert.NotEqual(word, Data.FromDecimal(123.45, 1));
        Assert.Equal(word.GetHashCode(), new Data(0x39, 0x30, 0x00, 0x02).GetHashCode());
        Assert.Equal(-0.5, Data.FromDecimal(-0.5, 1).Decimal);
        Assert.Equal(0u, Data.FromDecimal(double.NaN, 2).UInt & 0xFFFFFF);
        Assert.Equal(0xFFFFFFFFu, Data.FromUInt(0xFFFFFFFF).UInt);
        Assert.Equal((byte)0x78, Data.FromUInt(0x12345678)[0]);
        Assert.Equal(default, Data.FromUInt(0));
        Assert.Throws<ArgumentOutOfRangeException>(() => Data.FromDecimal(1, 256));
        Assert.Throws<ArgumentException>(() => new Data(new byte[3]));
    }

    [Fact]
    public void FramesEncodeAndDecodeThroughTheLibrary()
    {
        byte[] bytes = Frame.Encode(1, 31, 0);
        Assert.Equal(Convert.FromHexString("811F00000000000000000006"), bytes);
        var reply = new Reply(31, 1, 3, 0x85, 1, 0x82, Data.FromUInt(0x12345678));
        Assert.Equal(reply, Frame.Decode(Frame.Encode(reply)));
        bytes[11] ^= 1;
        Assert.Equal(-20, Assert.Throws<FrameException>(() => Frame.Decode(bytes)).Code);
        bytes[0] &= 0x7F;
        Assert.Equal(-18, Assert.Throws<FrameException>(() => Frame.Decode(bytes)).Code);
        Assert.Throws<ArgumentException>(() => Frame.Decode(new byte[11]));
        Assert.Throws<ArgumentOutOfRangeException>(() => Frame.Encode(128, 31, 0));
    }

    [Fact]
    public unsafe void PortsAreListed()
    {
        // The records as varno_link.h lays them out, on every runtime the package carries.
        Assert.Equal((10, 968), (sizeof(NativeFrame), sizeof(NativePortInfo)));
        var all = Ports.List(includeAll: true);
        Assert.All(all, p => Assert.False(string.IsNullOrEmpty(p.Device)));
        Assert.True(all.Count >= Ports.List().Count);
    }
}
