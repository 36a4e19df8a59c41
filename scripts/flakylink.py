#!/usr/bin/env python3
"""A TCP proxy on loopback that breaks the link at random, for soak runs.

Usage: flakylink.py TARGET_PORT [--port P] [--seed N] [--gap MIN MAX] [--duration S]

Listens on 127.0.0.1:P (0, the default: any free port; the first line printed is
"flakylink listening on 127.0.0.1:PORT") and forwards every connection to
127.0.0.1:TARGET_PORT. Every MIN to MAX seconds (default 3 to 12) it picks one fault:

  cut     closes every forwarded connection on both sides
  reset   aborts every forwarded connection, the client getting a TCP reset
  freeze  forwards nothing in either direction for 1 to 8 s; new connections wait too
  error   sends each client a UA-TCP ERR message between two of the server's chunks, its
          reason a forged log line and 4 KB of random bytes, then closes the connection

and prints "EPOCH_SECONDS FAULT CONNECTIONS" for it. After S seconds (default: never) it stops
breaking the link and keeps forwarding. Bounded: at most 16 connections at once, a server
chunk of at most 1 MiB, one read of 64 KiB per direction in flight; SIGTERM or SIGINT ends it.
"""

import argparse
import asyncio
import random
import signal
import socket
import struct
import sys
import time

MAX_CONNECTIONS = 16
MAX_CHUNK = 1 << 20
READ_SIZE = 1 << 16
CONNECT_TIMEOUT = 5.0
BAD_TCP_INTERNAL_ERROR = 0x80820000
FORGED_LINE = b"\n\x1b[2Kservo.opcua.client: connected to opc.tcp://forged\n"
FAULTS = (("cut", 3), ("reset", 3), ("freeze", 2), ("error", 2))


class Link:
    """The forwarded connections and whether bytes may flow."""

    def __init__(self, target_port, rng):
        self.target_port = target_port
        self.rng = rng
        self.pairs = set()
        self.thawed = asyncio.Event()
        self.thawed.set()


class Pair:
    def __init__(self, client, server):
        self.client = client
        self.server = server

    def close(self):
        for writer in (self.client, self.server):
            writer.close()


async def forward(reader, writer, link):
    """Client to server: bytes as they come."""
    try:
        while data := await reader.read(READ_SIZE):
            await link.thawed.wait()
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def forward_chunks(reader, writer, link):
    """Server to client: whole UA-TCP chunks, so that an injected ERR lands between two."""
    try:
        while True:
            header = await reader.readexactly(8)
            size = struct.unpack_from("<I", header, 4)[0]
            if size < 8 or size > MAX_CHUNK:
                break
            body = await reader.readexactly(size - 8)
            await link.thawed.wait()
            writer.write(header + body)
            await writer.drain()
    except (asyncio.IncompleteReadError, ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def serve_client(client_reader, client_writer, link):
    if len(link.pairs) >= MAX_CONNECTIONS:
        client_writer.close()
        return
    await link.thawed.wait()
    try:
        server_reader, server_writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", link.target_port), CONNECT_TIMEOUT)
    except (asyncio.TimeoutError, OSError):
        client_writer.close()
        return
    pair = Pair(client_writer, server_writer)
    link.pairs.add(pair)
    try:
        await asyncio.gather(forward(client_reader, server_writer, link),
                             forward_chunks(server_reader, client_writer, link))
    finally:
        link.pairs.discard(pair)
        pair.close()


def error_message(rng):
    reason = FORGED_LINE + rng.randbytes(4096 - len(FORGED_LINE))
    body = struct.pack("<Ii", BAD_TCP_INTERNAL_ERROR, len(reason)) + reason
    return b"ERRF" + struct.pack("<I", 8 + len(body)) + body


def reset(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def break_link(link, fault):
    pairs = list(link.pairs)
    if fault == "freeze":
        link.thawed.clear()
        await asyncio.sleep(link.rng.uniform(1.0, 8.0))
        link.thawed.set()
        return
    for pair in pairs:
        if fault == "error":
            pair.client.write(error_message(link.rng))
        elif fault == "reset":
            reset(pair.client)
        pair.close()


async def break_at_random(link, gap, duration):
    names = [name for name, _ in FAULTS]
    weights = [weight for _, weight in FAULTS]
    end = time.monotonic() + duration if duration else None
    while True:
        await asyncio.sleep(link.rng.uniform(*gap))
        if end is not None and time.monotonic() >= end:
            return
        fault = link.rng.choices(names, weights)[0]
        print("%.3f %s %d" % (time.time(), fault, len(link.pairs)), flush=True)
        await break_link(link, fault)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("target_port", type=int)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--gap", type=float, nargs=2, default=(3.0, 12.0))
    parser.add_argument("--duration", type=float, default=0.0)
    args = parser.parse_args()

    link = Link(args.target_port, random.Random(args.seed))
    server = await asyncio.start_server(lambda r, w: serve_client(r, w, link), "127.0.0.1",
                                        args.port, limit=READ_SIZE)
    port = server.sockets[0].getsockname()[1]
    print("flakylink listening on 127.0.0.1:%d" % port, flush=True)

    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(signum, stop.set)
    breaker = asyncio.create_task(break_at_random(link, args.gap, args.duration))
    await stop.wait()
    breaker.cancel()
    server.close()
    for pair in list(link.pairs):
        pair.close()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
