"""A TCP relay that holds every chunk for a fixed time each way: added round-trip time
for a kernel without netem. Run inside the server's network namespace by the share lab.

usage: delayrelay.py LISTEN_HOST:PORT UPSTREAM_HOST:PORT DELAY_MS_EACH_WAY STATS_FILE

Each chunk is written DELAY after it was read, in order, however many follow it, so
that the link behaves as a long pipe rather than a slow one. STATS_FILE receives, after
every connection ends and on SIGTERM, one line per connection ended so far:
"requests ROUNDS bytes_up N bytes_down N", ROUNDS being the client's bursts that follow
an answer (sequential round trips the client waited through, at most)."""
import asyncio
import os
import signal
import sys
import time


class Link:
    def __init__(self):
        self.rounds = 0
        self.up = self.down = 0
        self.last = "down"  # a first request starts a round


async def pump(reader, writer, delay, link, direction):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            if direction == "up":
                if link.last == "down":
                    link.rounds += 1
                link.up += len(data)
            else:
                link.down += len(data)
            link.last = direction
            queue.put_nowait((time.monotonic() + delay, data))
    except OSError:
        pass
    queue.put_nowait((0, None))
    try:
        await sender
    except OSError:
        pass


def main():
    listen, upstream, delay_ms, stats = sys.argv[1:5]
    lhost, lport = listen.rsplit(":", 1)
    uhost, uport = upstream.rsplit(":", 1)
    delay = float(delay_ms) / 1000.0
    ended = []

    def save():
        with open(stats + ".new", "w") as f:
            f.write("".join("requests %d bytes_up %d bytes_down %d\n" % (x.rounds, x.up, x.down) for x in ended))
        os.replace(stats + ".new", stats)

    async def serve(creader, cwriter):
        link = Link()
        try:
            ureader, uwriter = await asyncio.open_connection(uhost, int(uport))
        except OSError:
            cwriter.close()
            return
        await asyncio.gather(pump(creader, uwriter, delay, link, "up"), pump(ureader, cwriter, delay, link, "down"))
        ended.append(link)
        save()

    async def run():
        server = await asyncio.start_server(serve, lhost, int(lport))
        stop = asyncio.Event()
        for s in (signal.SIGTERM, signal.SIGINT):
            asyncio.get_running_loop().add_signal_handler(s, stop.set)
        async with server:
            await stop.wait()
        save()

    asyncio.run(run())


if __name__ == "__main__":
    main()
