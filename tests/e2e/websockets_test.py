"""An independent WebSocket client (the python3-websockets package, 10.x API)
and a raw TCP client against the real relay."""

import asyncio
import random
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

import websockets

# The shared harness sits beside this file; no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import relay_harness  # noqa: E402
from relay_harness import Relay, unverified_tls  # noqa: E402

TIMEOUT = 10.0
# Three keep-alive intervals of 1 s plus the 1 s time-out of the third ping:
# a ping left unanswered fails the connection before this has passed.
KEEPALIVE_SPAN = 4.5

EXE = SOURCE_DIR = None


async def within(awaitable, timeout=TIMEOUT):
    return await asyncio.wait_for(awaitable, timeout)


class RawClient:
    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer

    @classmethod
    async def connect(cls, port, tls=None):
        return cls(*await within(asyncio.open_connection("127.0.0.1", port, ssl=tls)))

    def local_port(self):
        return self.writer.get_extra_info("sockname")[1]

    async def send(self, data):
        self.writer.write(data)
        await within(self.writer.drain())

    async def read_exactly(self, size):
        return await within(self.reader.readexactly(size))

    async def expect(self, data):
        """The next bytes on the stream must be exactly `data`: anything the
        relay slipped in before it shows up as a mismatch."""
        got = await self.read_exactly(len(data))
        if got != data:
            raise AssertionError(f"raw client expected {data!r}, got {got!r}")

    async def close(self):
        self.writer.close()
        try:
            await within(self.writer.wait_closed(), 2)
        except (OSError, asyncio.TimeoutError):
            pass


class WebSocketsClientTest(unittest.IsolatedAsyncioTestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = Path(tempfile.mkdtemp(prefix="relayhub-websockets-"))
        relay_harness.make_certificate(SOURCE_DIR, cls.workdir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workdir, ignore_errors=True)

    async def asyncSetUp(self):
        self.relay = Relay(EXE, self.workdir)
        await within(asyncio.to_thread(self.relay.start), 60)
        self.clients = []
        self.addAsyncCleanup(self.stop_relay)
        self.raw = await RawClient.connect(self.relay.port)
        self.addAsyncCleanup(self.raw.close)
        # Only the relay's console tells when a silent raw client is set up.
        set_up = await within(asyncio.to_thread(self.relay.wait_raw_set_up, self.raw.local_port()), 60)
        self.assertTrue(set_up, "raw client was not set up\n" + self.relay.console())

    async def stop_relay(self):
        for client in self.clients:
            await within(client.close())
        code = await within(asyncio.to_thread(self.relay.stop), 60)
        self.assertEqual(code, 0, "relay did not stop cleanly on SIGTERM\n" + self.relay.console())

    async def join(self, scheme="ws", **options):
        """Connects a websockets client and has it say hello. The raw client and
        every earlier client receiving the hello shows that the new client is
        set up: the relay reads a client only once it is active."""
        client = await websockets.connect(f"{scheme}://127.0.0.1:{self.relay.port}/", open_timeout=TIMEOUT,
                                          close_timeout=2, **options)
        earlier = list(self.clients)
        self.clients.append(client)
        hello = f"hello from client {len(earlier)}"
        await within(client.send(hello))
        await self.raw.expect(hello.encode())
        for other in earlier:
            self.assertEqual(await within(other.recv()), hello)
        return client

    async def test_text_both_ways_between_websockets_and_raw(self):
        first = await self.join()
        second = await self.join()
        for text in ("plain ascii", "grüße für 3 €"):
            with self.subTest(text=text):
                await within(first.send(text))
                await self.raw.expect(text.encode())
                self.assertEqual(await within(second.recv()), text)

                line = f"{text} from raw\n"
                await self.raw.send(line.encode())
                for client in (first, second):
                    self.assertEqual(await within(client.recv()), line)

    async def test_keepalive_pings_are_answered_and_not_relayed(self):
        loop = asyncio.get_running_loop()
        lively = await self.join(ping_interval=1, ping_timeout=1)
        start = loop.time()
        count = 0
        while loop.time() - start < KEEPALIVE_SPAN and count < 100:
            count += 1
            await self.raw.send(f"tick {count}\n".encode())
            self.assertEqual(await within(lively.recv()), f"tick {count}\n")
            await within(lively.send(f"tock {count}"))
            await self.raw.expect(f"tock {count}".encode())
            # Paces the exchange so that it spans several keep-alive pings.
            await asyncio.sleep(0.25)
        self.assertTrue(lively.open, f"closed with {lively.close_code}")
        self.assertGreater(lively.latency, 0, "no keep-alive ping was answered")

        # Without keep-alive pings of its own, this client's pong waiter is
        # resolved only by a pong that carries the probe's payload.
        prober = await self.join(ping_interval=None)
        await within(await within(prober.ping(b"probe payload")))
        await within(prober.pong(b"unsolicited"))
        await within(prober.send("after the probe"))
        await self.raw.expect(b"after the probe")
        self.assertEqual(await within(lively.recv()), "after the probe")

    async def test_fragmented_message_stays_one_message(self):
        sender = await self.join()
        receiver = await self.join()
        # The middle fragment needs the 16-bit length form on the way out; a
        # character is split between the last two fragments.
        fragments = ["first fragment, ", "x" * 300 + "\N{GRINNING FACE}", ", last fragment"]
        await within(sender.send(fragments))
        whole = "".join(fragments)
        await self.raw.expect(whole.encode())
        self.assertEqual(await within(receiver.recv()), whole)

        await self.raw.send(b"after the fragments\n")
        self.assertEqual(await within(receiver.recv()), "after the fragments\n")

    async def test_messages_of_any_size_arrive_whole_and_typed(self):
        plain = await self.join(max_size=None)
        secure = await self.join("wss", ssl=unverified_tls(), max_size=None)
        rng = random.Random(4077)
        # Around one receive at the default packet length, and far beyond it.
        for size in (1, 4077, 4078, 5000, 65489, 1 << 20, 16 << 20):
            for binary in (False, True):
                for sender, receiver in ((plain, secure), (secure, plain)):
                    with self.subTest(size=size, binary=binary, sender=sender is plain and "ws" or "wss"):
                        if binary:
                            # ASCII bytes: a binary message stays binary whatever it holds.
                            message = bytes(rng.randrange(32, 127) for _ in range(min(size, 4096)))
                            message = (message * (size // len(message) + 1))[:size]
                        else:
                            message = ("\N{GRINNING FACE}é" * (size // 6 + 1))[:max(1, size // 3)]
                        sent = asyncio.ensure_future(within(sender.send(message), 60))
                        expected = message if binary else message.encode()
                        got_raw = await within(self.raw.read_exactly(len(expected)), 60)
                        got = await within(receiver.recv(), 60)
                        await sent
                        self.assertEqual(got_raw, expected)
                        self.assertEqual(type(got), type(message))
                        self.assertEqual(got, message)

    async def test_text_after_binary_stays_text(self):
        sender = await self.join()
        receiver = await self.join()
        for message in (b"\xff\x00", "text again \N{GRINNING FACE}", b"ascii bytes", "plain"):
            await within(sender.send(message))
            await self.raw.expect(message if isinstance(message, bytes) else message.encode())
            self.assertEqual(await within(receiver.recv()), message)

    async def test_request_split_late_or_followed_is_answered_never_relayed(self):
        listener = await self.join()
        key = "dGhlIHNhbXBsZSBub25jZQ=="
        request = (f"GET / HTTP/1.1\r\nhost: 127.0.0.1\r\nupgrade: websocket\r\nconnection: Upgrade\r\n"
                   f"sec-websocket-key: {key}\r\nsec-websocket-version: 13\r\nCookie: secret\r\n\r\n").encode()
        mask = b"\x01\x02\x03\x04"
        first = b"right behind the request"
        frame = bytes([0x81, 0x80 | len(first)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(first))
        # Cut after the first segment; sent whole after the detection time,
        # plain and after a TLS handshake; with the first frame in the same write.
        for tls, pause, cut, behind in ((False, 0.3, 40, b""), (False, 0.7, 0, b""), (True, 0.7, 0, b""),
                                        (False, 0, 0, frame), (True, 0, 0, frame)):
            with self.subTest(tls=tls, pause=pause, cut=cut, behind=bool(behind)):
                client = await RawClient.connect(self.relay.port, unverified_tls() if tls else None)
                if cut:
                    await client.send(request[:cut])
                await asyncio.sleep(pause)
                await client.send(request[cut:] + behind)
                head = await within(client.reader.readuntil(b"\r\n\r\n"))
                self.assertIn(b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n", head)
                if behind:
                    await self.raw.expect(first)
                    self.assertEqual(await within(listener.recv()), first.decode())
                await client.close()
        # Nothing of the requests reached either client before these.
        await within(listener.send("after the requests"))
        await self.raw.expect(b"after the requests")
        await self.raw.send(b"raw after the requests\n")
        self.assertEqual(await within(listener.recv()), "raw after the requests\n")

    async def test_binary_arrives_byte_exact(self):
        sender = await self.join()
        receiver = await self.join()
        rng = random.Random(6455)
        # Sizes around the frame header's length forms, and one near the
        # default packet length.
        for size in (1, 125, 126, 4000):
            with self.subTest(size=size):
                # 0xFF never occurs in UTF-8, so this is binary under any rule.
                payload = b"\xff" + bytes(rng.randrange(256) for _ in range(size - 1))
                await within(sender.send(payload))
                self.assertEqual(await self.raw.read_exactly(size), payload)
                got = await within(receiver.recv())
                self.assertIsInstance(got, bytes)
                self.assertEqual(got, payload)

    async def test_bytes_that_are_not_utf8_reach_websockets_as_binary(self):
        client = await self.join()
        # Each piece is received before the next is sent, so that the relay
        # reads and relays them one at a time.
        for piece in (b"\xc3", b"\xa9", b"\xff\xfe", b"caf\xc3"):
            with self.subTest(piece=piece):
                await self.raw.send(piece)
                self.assertEqual(await within(client.recv()), piece)
        await self.raw.send(b"still connected\n")
        got = await within(client.recv())
        self.assertEqual(got.encode() if isinstance(got, str) else got, b"still connected\n")

    async def test_wss_with_self_signed_certificate(self):
        secure = await self.join("wss", ssl=unverified_tls())
        plain = await self.join()

        await within(secure.send("over tls"))
        await self.raw.expect(b"over tls")
        self.assertEqual(await within(plain.recv()), "over tls")

        await self.raw.send(b"to everyone\n")
        self.assertEqual(await within(secure.recv()), "to everyone\n")
        self.assertEqual(await within(plain.recv()), "to everyone\n")

        payload = b"\xff" + bytes(range(256))
        await within(plain.send(payload))
        self.assertEqual(await within(secure.recv()), payload)
        self.assertEqual(await self.raw.read_exactly(len(payload)), payload)


if __name__ == "__main__":
    EXE, SOURCE_DIR = relay_harness.relay_paths(sys.argv)
    unittest.main(verbosity=2)
