using System;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace Varno.Tests;

/// <summary>TransactAsync: several links in flight at once, cancellation, disposal.</summary>
public class AsyncTests
{
    [Fact]
    public async Task ThreeLinksInFlightAtOnce()
    {
        var sims = Enumerable.Range(0, 3).Select(_ => new Simulator("1", "2:silent")).ToArray();
        try
        {
            var links = sims.Select(s => Link.Open(s.Path, 38400)).ToArray();
            // All three wait for their replies together, and a dispose ends each wait at once.
            var waits = links.Select(l => l.TransactAsync(Bus.Silent, 0, replyTimeout: TimeSpan.FromSeconds(30))).ToArray();
            Assert.True(Build.Eventually(() => links.All(l => l.State == LinkState.AwaitingReply)),
                        string.Join(", ", links.Select(l => l.State)));
            Assert.All(waits, w => Assert.False(w.IsCompleted));
            foreach (Link link in links)
            {
                link.Dispose();
            }
            foreach (Task<Reply> wait in waits)
            {
                await Assert.ThrowsAsync<LinkClosedException>(() => wait);
            }

            // Back to back on each link, the three side by side; failures as exceptions.
            links = sims.Select(s => Link.Open(s.Path, 38400)).ToArray();
            async Task Run(Link link, uint n)
            {
                for (uint i = 0; i < 50; i++)
                {
                    Reply reply = await link.TransactAsync(1, (byte)i, data: Data.FromUInt(n * 100 + i), replyTimeout: Build.Answer);
                    Assert.Equal(n * 100 + i, reply.Data.UInt);
                }
                var e = await Assert.ThrowsAsync<NoReplyException>(() => link.TransactAsync(Bus.Silent, 0, replyTimeout: TimeSpan.FromMilliseconds(20)));
                Assert.Equal(Bus.Silent, e.Command.Source);
            }
            await Task.WhenAll(links.Select((l, n) => Run(l, (uint)n)));
            foreach (Link link in links)
            {
                link.Dispose();
            }
        }
        finally
        {
            foreach (Simulator sim in sims)
            {
                sim.Dispose();
            }
        }
    }

    [Fact]
    public async Task CancellationEndsTheWaitAndTheNextTransactionWaitsForTheExchange()
    {
        using var sim = new Simulator("1", "2:silent");
        using var link = Link.Open(sim.Path, 38400);
        var abandonedFor = TimeSpan.FromMilliseconds(1500);

        using (var cancel = new CancellationTokenSource())
        {
            var watch = Stopwatch.StartNew();
            Task<Reply> wait = link.TransactAsync(Bus.Silent, 0, replyTimeout: abandonedFor, cancellationToken: cancel.Token);
            Assert.True(Build.Eventually(() => link.State == LinkState.AwaitingReply));
            cancel.Cancel();
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => wait);
            Assert.Equal(LinkState.AwaitingReply, link.State); // ended the wait, not the exchange
            // The next one is not refused as busy: it waits for the exchange on the wire, then goes.
            Reply reply = await link.TransactAsync(1, 5, replyTimeout: Build.Answer);
            Assert.Equal(5, reply.Code);
            Assert.True(watch.Elapsed >= abandonedFor - TimeSpan.FromMilliseconds(50), $"{watch.Elapsed}");
        }

        // The same for a blocking transaction and a send after a cancelled one.
        using (var cancel = new CancellationTokenSource())
        {
            Task<Reply> wait = link.TransactAsync(Bus.Silent, 0, replyTimeout: abandonedFor, cancellationToken: cancel.Token);
            Assert.True(Build.Eventually(() => link.State == LinkState.AwaitingReply));
            cancel.Cancel();
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => wait);
            Assert.Equal(6, link.Transact(1, 6, replyTimeout: Build.Answer).Code);
        }

        // Cancelled before it starts: nothing goes out.
        using (var cancel = new CancellationTokenSource())
        {
            cancel.Cancel();
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => link.TransactAsync(1, 7, cancellationToken: cancel.Token));
            Assert.Equal(LinkState.Idle, link.State);
        }

        // Cancelled while it waits for an abandoned exchange: that wait ends too, and the link is
        // left to a dispose that ends the exchange.
        using (var first = new CancellationTokenSource())
        using (var second = new CancellationTokenSource())
        {
            Task<Reply> abandoned = link.TransactAsync(Bus.Silent, 0, replyTimeout: TimeSpan.FromSeconds(20), cancellationToken: first.Token);
            Assert.True(Build.Eventually(() => link.State == LinkState.AwaitingReply));
            first.Cancel();
            Task<Reply> queued = link.TransactAsync(1, 8, replyTimeout: Build.Answer, cancellationToken: second.Token);
            Assert.False(queued.IsCompleted);
            second.Cancel();
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => queued);
            Task<Reply> next = link.TransactAsync(1, 9, replyTimeout: Build.Answer);
            link.Dispose();
            await Assert.ThrowsAsync<LinkClosedException>(() => next);
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => abandoned);
        }
    }
}
