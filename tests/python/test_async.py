"""transact_async: several links with transactions in flight at once, the event loop free."""
import asyncio
import time

import pytest

import varno


def test_several_links_in_flight_at_once(simulate):
    paths = [simulate("1", "2:silent") for _ in range(3)]

    async def main():
        links = [varno.Link(p, 38400) for p in paths]
        try:
            waits = [asyncio.ensure_future(link.transact_async(2, 0, reply_timeout=30))
                     for link in links]
            # The loop keeps running, and sees all three waiting for their replies together; a
            # close ends each wait at once.
            deadline = time.monotonic() + 10
            while not all(link.state == varno.LinkState.AWAITING_REPLY for link in links):
                assert time.monotonic() < deadline, [link.state for link in links]
                await asyncio.sleep(0.001)
            for link in links:
                link.close()
            for wait in waits:
                with pytest.raises(varno.LinkClosed):
                    await wait

            # Back to back on each link, the three links side by side; failures as exceptions.
            links = [varno.Link(p, 38400) for p in paths]

            async def run(link, n):
                for i in range(50):
                    reply = await link.transact_async(1, i, data=varno.Data.from_uint(n * 100 + i),
                                                      reply_timeout=3.0)
                    assert reply.data.uint == n * 100 + i
                with pytest.raises(varno.NoReply):
                    await link.transact_async(2, 0, reply_timeout=0.02)

            await asyncio.gather(*(run(link, n) for n, link in enumerate(links)))
        finally:
            for link in links:
                link.close()

    asyncio.run(main())
