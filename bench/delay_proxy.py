#!/usr/bin/env python3
"""A link with a round trip: forwards TCP connections from a local port to a server, holding
every byte the server sends back for a fixed delay (the bytes keep their order). TLS passes
through untouched, so HTTP/1.1 and HTTP/2 see the same link.

    delay_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS

Prints "ready" once it listens; runs until killed.
"""
import asyncio
import sys


async def forward(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


async def forward_late(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        try:
            while True:
                due, data = await queue.get()
                if data is None:
                    break
                if (wait := due - loop.time()) > 0:
                    await asyncio.sleep(wait)
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    delivering = asyncio.create_task(deliver())
    try:
        while data := await reader.read(65536):
            queue.put_nowait((loop.time() + delay, data))
    except ConnectionError:
        pass
    queue.put_nowait((0, None))
    await delivering


async def main(listen_port, target_port, delay):
    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(forward(client_reader, server_writer),
                             forward_late(server_reader, client_writer, delay))

    server = await asyncio.start_server(connection, "127.0.0.1", listen_port, backlog=512)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]) / 1000.0))
