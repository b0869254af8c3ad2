#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that adds latency without limiting bandwidth.

    delay_relay.py LISTEN_PORT TARGET_PORT DELAY_MS

Every chunk read from one side is queued with its arrival time and written to
the other side DELAY_MS later, in each direction, so a round trip through the
relay takes 2 x DELAY_MS more. Chunks are never held back in series (one sleep
per chunk would throttle the link instead of delaying it). Prints "ready" once
it listens.
"""
import asyncio
import sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def receive():
        while True:
            data = await reader.read(256 * 1024)
            await queue.put((loop.time() + delay, data))
            if not data:
                return

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        pass


async def main():
    listen_port, target_port, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = delay_ms / 1000.0

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay),
                             pipe(server_reader, client_writer, delay))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(serve, "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
