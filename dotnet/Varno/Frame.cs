using System;

namespace Varno
{
    /// <summary>The 12-byte frame, through the library's codec.</summary>
    public static class Frame
    {
        /// <summary>The 12 bytes a frame with these fields goes out as (varnoFrameEncode).</summary>
        /// <exception cref="ArgumentOutOfRangeException">An address or code above 127.</exception>
        public static unsafe byte[] Encode(byte dest, byte source, byte code, byte param = 0, Data data = default,
                                           byte status = 0, byte error = 0)
        {
            if (dest > 127 || source > 127 || code > 127)
            {
                throw new ArgumentOutOfRangeException(dest > 127 ? nameof(dest) : source > 127 ? nameof(source) : nameof(code),
                                                      "addresses and codes are 0..127");
            }
            NativeFrame frame = NativeFrame.Command(dest, source, code, param, data);
            frame.Status = status;
            frame.Error = error;
            byte[] bytes = new byte[12];
            fixed (byte* out12 = bytes)
            {
                Native.varnoFrameEncode(&frame, out12);
            }
            return bytes;
        }

        /// <summary>The 12 bytes <paramref name="frame"/>'s fields go out as.</summary>
        public static byte[] Encode(Reply frame)
        {
            if (frame is null)
            {
                throw new ArgumentNullException(nameof(frame));
            }
            return Encode(frame.Dest, frame.Source, frame.Code, frame.Param, frame.Data, frame.Status, frame.Error);
        }

        /// <summary>The fields of 12 received bytes (varnoFrameDecode); <see cref="Reply.Dest"/>
        /// without the start mark.</summary>
        /// <exception cref="FrameException">Not a valid frame (<see cref="VarnoException.Code"/>
        /// tells why).</exception>
        /// <exception cref="ArgumentException">Not 12 bytes.</exception>
        public static unsafe Reply Decode(byte[] bytes)
        {
            if (bytes is null)
            {
                throw new ArgumentNullException(nameof(bytes));
            }
            if (bytes.Length != 12)
            {
                throw new ArgumentException($"a frame is 12 bytes, not {bytes.Length}", nameof(bytes));
            }
            NativeFrame frame;
            int code;
            fixed (byte* in12 = bytes)
            {
                code = Native.varnoFrameDecode(in12, &frame);
            }
            if (code != 0)
            {
                throw new FrameException(code);
            }
            return frame.ToReply();
        }
    }
}
