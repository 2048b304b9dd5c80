using System;

namespace Varno
{
    /// <summary>
    /// A frame's fields: a device's reply, or (in a transaction's exception) the command seen
    /// from the device's side. <see cref="Dest"/> is the address alone, without the frame's start
    /// mark.
    /// </summary>
    /// <param name="Dest">The address the frame is for (0..127).</param>
    /// <param name="Source">The address it is from (0..127).</param>
    /// <param name="Code">The command code (0..127).</param>
    /// <param name="Param">The parameter byte.</param>
    /// <param name="Status">The device's status byte (0 in a command).</param>
    /// <param name="Error">The device's error byte (0 in a command).</param>
    /// <param name="Data">The data word.</param>
    public sealed record Reply(byte Dest, byte Source, byte Code, byte Param, byte Status, byte Error, Data Data);

    /// <summary>
    /// What a <see cref="Link.Send(byte, byte, Action{Result})"/> handler gets: the reply, or the exception that
    /// <see cref="Link.Transact"/> would have thrown.
    /// </summary>
    public sealed class Result
    {
        internal Result(Reply? reply, Exception? exception)
        {
            Reply = reply;
            Exception = exception;
        }

        /// <summary>The reply; null when the transaction failed.</summary>
        public Reply? Reply { get; }

        /// <summary>Why there is no reply, null for a reply: an <see cref="ITransactionException"/>
        /// (one of the five outcomes) or <see cref="LinkClosedException"/>; every one is an
        /// <see cref="IVarnoException"/>.</summary>
        public Exception? Exception { get; }

        /// <summary>True when a valid reply came.</summary>
        public bool IsReply => Reply is not null;

        /// <summary>The reply, or throws the exception.</summary>
        public Reply GetReply()
        {
            if (Reply is not null)
            {
                return Reply;
            }
            throw Exception!;
        }

        /// <inheritdoc/>
        public override string ToString() => Reply?.ToString() ?? Exception!.Message;
    }
}
