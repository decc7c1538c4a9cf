"""The tarpit many users would write first: Python asyncio, one coroutine per
client, a random line every DELAY_MS. Used as a reference by the benchmark.

    python3 asyncio_tarpit.py PORT DELAY_MS
"""

import asyncio
import random
import resource
import string
import sys

ALPHABET = string.ascii_letters + string.digits


async def hold(reader, writer, delay):
    try:
        while True:
            await asyncio.sleep(delay)
            line = "".join(random.choices(ALPHABET, k=random.randint(1, 30)))
            writer.write(line.encode() + b"\r\n")
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main(port, delay):
    server = await asyncio.start_server(lambda r, w: hold(r, w, delay), host=None, port=port,
                                        backlog=4096, reuse_address=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]) / 1000))
