#!/usr/bin/python3
"""A TCP relay on loopback that counts the bytes of every connection it carries.

    byte_count_relay.py TARGET_PORT COUNTS_FILE

Listens on a free port of 127.0.0.1, prints "PORT <n>" (flushed) and forwards every connection to
127.0.0.1:TARGET_PORT. When a connection has ended in both directions it appends one line
"<bytes from the server> <bytes to the server>" to COUNTS_FILE. Serves until its standard input
closes or it is killed.
"""

import asyncio
import sys

TARGET_PORT = int(sys.argv[1])
COUNTS_FILE = sys.argv[2]


async def pump(reader, writer):
    count = 0
    try:
        while True:
            data = await reader.read(256 * 1024)
            if not data:
                break
            count += len(data)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()
    return count


async def relay(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection('127.0.0.1', TARGET_PORT)
    except OSError:
        client_writer.close()
        return
    from_server, to_server = await asyncio.gather(pump(server_reader, client_writer),
                                                  pump(client_reader, server_writer))
    with open(COUNTS_FILE, 'a') as counts:
        counts.write('%d %d\n' % (from_server, to_server))


async def main():
    server = await asyncio.start_server(relay, '127.0.0.1', 0)
    print('PORT %d' % server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.buffer.read)
    server.close()


if __name__ == '__main__':
    asyncio.run(main())
