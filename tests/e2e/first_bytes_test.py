"""How the real relay tells a new client apart by its first bytes: requests
and ClientHellos cut anywhere, requests that come after the client was set up,
requests up to the largest head answered, and clients too slow to set up."""

import asyncio
import base64
import collections
import hashlib
import os
import shutil
import socket
import ssl
import struct
import sys
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import websockets

# The shared harness sits beside this file; no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import relay_harness  # noqa: E402
from relay_harness import Relay, remaining, unverified_tls  # noqa: E402

TIMEOUT = 10.0
# Longer than the relay's detection time: a client silent this long is set up
# as raw (or TLS) before it sends anything.
LATE = 1.5
# The relay closes a connection not set up within about 5 s.
SETUP_LIMIT_MIN = 2.0
SETUP_LIMIT_MAX = 15.0
DRIP_INTERVAL = 0.4
# The largest request head the relay answers, request line through the empty line.
HEAD_MAX = 16384
# Far longer than one receive of the relay, so that it passes each in pieces.
LONG_MESSAGE = 200 * 1024
GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
INVALID_HANDSHAKE = "Invalid or unsupported WebSocket handshake from the client!"

EXE = SOURCE_DIR = None


def opening_request(key, extra=""):
    return (f"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n{extra}\r\n").encode()


def request_with_head_of(size, key):
    """An opening request whose head is exactly `size` bytes, padded by a cookie."""
    bare = len(opening_request(key, "Cookie: \r\n"))
    return opening_request(key, "Cookie: " + "c" * (size - bare) + "\r\n")


def new_key():
    return base64.b64encode(os.urandom(16)).decode()


def accept_for(key):
    return base64.b64encode(hashlib.sha1((key + GUID).encode()).digest()).decode()


def header(head, name):
    """The value of header `name` in a response head, None without it."""
    for line in head.decode("latin-1").split("\r\n")[1:]:
        field, _, value = line.partition(":")
        if field.strip().lower() == name.lower():
            return value.strip()
    return None


# The draft's own example keys; the answer is worked out from them below.
DRAFT76_KEY1 = "4 @1  46546xW%0l 1 5"
DRAFT76_KEY2 = "12998 5 Y3 1  .P00"
DRAFT76_KEY3 = b"^n:ds[4U"
DRAFT76_REQUEST = (f"GET /demo HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\n"
                   f"Sec-WebSocket-Key2: {DRAFT76_KEY2}\r\nUpgrade: WebSocket\r\n"
                   f"Sec-WebSocket-Key1: {DRAFT76_KEY1}\r\nOrigin: http://127.0.0.1\r\n\r\n").encode() + DRAFT76_KEY3


def draft76_answer(key1, key2, key3):
    def number(key):
        return int("".join(c for c in key if c.isdigit())) // key.count(" ")
    return hashlib.md5(struct.pack(">II", number(key1), number(key2)) + key3).digest()


def masked_frame(payload, opcode=0x1):
    assert len(payload) < 126
    mask = os.urandom(4)
    return bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def long_message(index):
    """Message `index` of a stream: its own header, then a pattern shifted by it."""
    head = f"message {index:08d}\n".encode()
    pattern = bytes(range(97, 123)) * (LONG_MESSAGE // 26 + 2)
    return head + pattern[index % 26:index % 26 + LONG_MESSAGE - len(head)]


class Client:
    """A blocking loopback client, plain or TLS. TLS runs over memory BIOs, so
    that the test decides how its ClientHello is cut into writes."""

    def __init__(self, port, tls=False):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""
        self.tls = None
        if tls:
            self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
            self.tls = unverified_tls().wrap_bio(self.incoming, self.outgoing)

    def local_port(self):
        return self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def client_hello(self):
        """The ClientHello this client's handshake starts with, not yet sent."""
        try:
            self.tls.do_handshake()
        except ssl.SSLWantReadError:
            pass
        return self.outgoing.read()

    def handshake(self, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self._flush()
                if not self._fill(deadline):
                    raise AssertionError("relay closed the connection during the TLS handshake")
        self._flush()

    def send(self, data):
        if self.tls:
            self.tls.write(data)
            data = self.outgoing.read()
        self.sock.sendall(data)

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def _recv(self, deadline):
        left = remaining(deadline)
        if left == 0:
            raise TimeoutError
        self.sock.settimeout(left)
        try:
            return self.sock.recv(65536)
        except ConnectionResetError:
            return b""

    def _fill(self, deadline):
        chunk = self._recv(deadline)
        if chunk:
            self.incoming.write(chunk)
        else:
            self.incoming.write_eof()
        return bool(chunk)

    def receive(self, deadline):
        """The next bytes from the relay; b"" once it has closed. TimeoutError
        at the deadline."""
        if not self.tls:
            return self._recv(deadline)
        while True:
            try:
                return self.tls.read(65536)
            except ssl.SSLWantReadError:
                # Session tickets come after the handshake and carry no data.
                self._flush()
                self._fill(deadline)
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                return b""

    def _more(self, deadline, wanted):
        try:
            chunk = self.receive(deadline)
        except TimeoutError:
            raise AssertionError(f"timed out waiting for {wanted}; got {self.pending[:300]!r}") from None
        if not chunk:
            raise AssertionError(f"relay closed the connection before {wanted}; got {self.pending[:300]!r}")
        self.pending += chunk

    def read_until(self, marker, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while marker not in self.pending:
            self._more(deadline, repr(marker))
        end = self.pending.index(marker) + len(marker)
        got, self.pending = self.pending[:end], self.pending[end:]
        return got

    def skip_to(self, marker, timeout):
        """Drops everything before `marker`, keeping only a tail while it looks."""
        deadline = time.monotonic() + timeout
        while marker not in self.pending:
            self.pending = self.pending[-len(marker):]
            self._more(deadline, repr(marker))
        self.pending = self.pending[self.pending.index(marker):]

    def read_exactly(self, size, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while len(self.pending) < size:
            self._more(deadline, f"{size} bytes")
        got, self.pending = self.pending[:size], self.pending[size:]
        return got

    def expect(self, data, timeout=TIMEOUT):
        """The next bytes must be exactly `data`: anything slipped in before
        them shows up as a mismatch."""
        got = self.read_exactly(len(data), timeout)
        if got != data:
            raise AssertionError(f"expected {data!r}, got {got!r}")

    def read_lines(self, count, timeout):
        """Everything received until `count` line ends have come, the relay
        closed or `timeout` passed."""
        deadline = time.monotonic() + timeout
        while self.pending.count(b"\n") < count:
            try:
                chunk = self.receive(deadline)
            except TimeoutError:
                break
            if not chunk:
                break
            self.pending += chunk
        got, self.pending = self.pending, b""
        return got

    def read_until_closed(self, timeout):
        """Everything up to the relay's close; None when it stays open."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                chunk = self.receive(deadline)
            except TimeoutError:
                return None
            if not chunk:
                got, self.pending = self.pending, b""
                return got
            self.pending += chunk

    def read_frame(self, timeout=TIMEOUT):
        """One frame from the relay: (fin, opcode, payload)."""
        first, second = self.read_exactly(2, timeout)
        if first & 0x70 or second & 0x80:
            raise AssertionError(f"malformed frame header {first:02x} {second:02x}")
        size = second & 0x7F
        if size == 126:
            size = struct.unpack(">H", self.read_exactly(2, timeout))[0]
        elif size == 127:
            size = struct.unpack(">Q", self.read_exactly(8, timeout))[0]
        return bool(first & 0x80), first & 0x0F, self.read_exactly(size, timeout)


class Streamer(threading.Thread):
    """A websockets client that, once `go` is set, sends long distinct
    messages back to back until `stop` is set."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.uri = f"ws://127.0.0.1:{port}/"
        self.connected = threading.Event()
        self.go = threading.Event()
        self.stop = threading.Event()
        self.sent = 0
        self.error = None

    def run(self):
        try:
            asyncio.run(self._stream())
        except Exception as error:  # reported by the test
            self.error = error
            self.connected.set()

    async def _stream(self):
        async with websockets.connect(self.uri, open_timeout=TIMEOUT, close_timeout=2) as client:
            self.connected.set()
            await asyncio.wait_for(asyncio.to_thread(self.go.wait, TIMEOUT), TIMEOUT + 1)
            # Bounded: about 100 MB at the most.
            while not self.stop.is_set() and self.sent < 500:
                await asyncio.wait_for(client.send(long_message(self.sent).decode()), TIMEOUT)
                self.sent += 1


def websockets_head_size(port):
    """The size of the head websockets sends to 127.0.0.1:`port` with an empty
    cookie: taken from one request to a listener of our own."""
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(TIMEOUT)
        own_port = server.getsockname()[1]
        heads = []

        def take():
            conn, _ = server.accept()
            with conn:
                conn.settimeout(TIMEOUT)
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    head += chunk
                heads.append(head)

        taker = threading.Thread(target=take, daemon=True)
        taker.start()

        async def attempt():
            try:
                await websockets.connect(f"ws://127.0.0.1:{own_port}/", open_timeout=TIMEOUT,
                                         extra_headers={"Cookie": ""})
            except (websockets.exceptions.WebSocketException, OSError, EOFError, asyncio.TimeoutError):
                pass

        asyncio.run(attempt())
        taker.join(TIMEOUT)
    assert heads and heads[0].endswith(b"\r\n\r\n"), heads
    return len(heads[0]) - len(str(own_port)) + len(str(port))


async def websockets_exchange(port, scheme, observer, cookie_size=None):
    """A websockets client (with a cookie of `cookie_size` bytes) joins and
    trades one message each way with the raw `observer`."""
    options = {"extra_headers": {"Cookie": "c" * cookie_size}} if cookie_size is not None else {}
    if scheme == "wss":
        options["ssl"] = unverified_tls()
    async with websockets.connect(f"{scheme}://127.0.0.1:{port}/", open_timeout=TIMEOUT, close_timeout=2,
                                  **options) as client:
        text = f"from {scheme} with a {cookie_size} byte cookie"
        await asyncio.wait_for(client.send(text), TIMEOUT)
        await asyncio.to_thread(observer.expect, text.encode())
        line = f"to {scheme} with a {cookie_size} byte cookie\n"
        await asyncio.to_thread(observer.send, line.encode())
        got = await asyncio.wait_for(client.recv(), TIMEOUT)
        assert got == line, f"websockets client got {got!r}, not {line!r}"


class FirstBytesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = Path(tempfile.mkdtemp(prefix="relayhub-first-bytes-"))
        relay_harness.make_certificate(SOURCE_DIR, cls.workdir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def start_relay(self, args=()):
        relay = Relay(EXE, self.workdir, args)
        relay.start()
        self.addCleanup(self.stop_relay, relay)
        return relay

    def stop_relay(self, relay):
        self.assertEqual(relay.stop(), 0, "relay did not stop cleanly on SIGTERM\n" + relay.console())

    def connect(self, relay, tls=False):
        client = Client(relay.port, tls)
        self.addCleanup(client.close)
        return client

    def set_up_raw(self, relay):
        """A raw client that sent nothing, set up before the test goes on."""
        client = self.connect(relay)
        self.assertTrue(relay.wait_raw_set_up(client.local_port()), "raw client was not set up\n" + relay.console())
        return client

    def test_first_bytes_cut_anywhere_are_served_as_what_they_are(self):
        relay = self.start_relay()
        observer = self.set_up_raw(relay)
        # Cut at every byte the detection looks at and in the middle; the
        # pause varies per row but stays within the detection time.
        cuts = list(zip((1, 2, 3, 4, 5, 6, "middle"), (0.05, 0.1, 0.3, 0.2, 0.05, 0.15, 0.25)))
        rows = [(kind, cut, pause) for kind in ("rfc6455", "draft76", "tls") for cut, pause in cuts]

        def run(kind, cut, pause):
            client = self.connect(relay, tls=kind == "tls")
            key = new_key()
            first = {"rfc6455": opening_request(key), "draft76": DRAFT76_REQUEST}.get(kind) or client.client_hello()
            at = len(first) // 2 if cut == "middle" else cut
            client.sock.sendall(first[:at])
            time.sleep(pause)
            client.sock.sendall(first[at:])
            message = f"{kind} cut at {cut}\n".encode()
            if kind == "rfc6455":
                head = client.read_until(b"\r\n\r\n")
                assert head.startswith(b"HTTP/1.1 101 "), f"no 101 answer: {head[:200]!r}"
                assert header(head, "Sec-WebSocket-Accept") == accept_for(key), head
                client.send(masked_frame(message))
            elif kind == "draft76":
                head = client.read_until(b"\r\n\r\n")
                assert head.startswith(b"HTTP/1.1 101 WebSocket Protocol Handshake\r\n"), \
                    f"no draft-76 answer: {head[:200]!r}"
                answer = client.read_exactly(16)
                expected = draft76_answer(DRAFT76_KEY1, DRAFT76_KEY2, DRAFT76_KEY3)
                assert answer == expected, f"draft-76 answer {answer!r}, expected {expected!r}"
                client.send(b"\x00" + message + b"\xff")
            else:
                client.handshake()
                client.send(message)
            return message

        # All rows at once, so that the table takes no longer than its slowest row.
        with ThreadPoolExecutor(len(rows)) as pool:
            futures = [pool.submit(run, *row) for row in rows]
            outcomes = []
            for row, future in zip(rows, futures):
                try:
                    outcomes.append((row, future.result(3 * TIMEOUT), None))
                except Exception as error:
                    outcomes.append((row, None, f"{type(error).__name__}: {error}"))
        for (kind, cut, pause), message, error in outcomes:
            with self.subTest(kind=kind, cut=cut, pause=pause):
                self.assertIsNone(error)

        # The observer gets every sent message, each whole, and nothing else:
        # any byte of a request or ClientHello would be a piece of its own.
        sent = [message for _, message, _ in outcomes if message]
        pieces = [piece + b"\n" for piece in observer.read_lines(len(sent), TIMEOUT).split(b"\n")]
        pieces[-1] = pieces[-1][:-1]
        got, wanted = collections.Counter(p for p in pieces if p), collections.Counter(sent)
        extra, missing = list((got - wanted).elements()), list((wanted - got).elements())
        self.assertTrue(not extra and not missing, f"observer got {len(extra)} pieces no row sent as its message "
                                                   f"(first {extra[:3]!r}), and missed {missing!r}")

    def test_late_request_gets_only_whole_frames(self):
        for tls in (False, True):
            with self.subTest(tls=tls):
                relay = self.start_relay()
                streamer = Streamer(relay.port)
                streamer.start()
                self.addCleanup(streamer.join, TIMEOUT)
                self.addCleanup(streamer.stop.set)
                self.assertTrue(streamer.connected.wait(TIMEOUT) and streamer.error is None, streamer.error)

                late = self.connect(relay, tls)
                connected = time.monotonic()
                if tls:
                    late.handshake()
                    connected = time.monotonic()
                word = "TLS" if tls else "RAW"
                self.assertTrue(relay.wait_set_up(late.local_port(), word),
                                f"silent client was not set up as {word}\n" + relay.console())
                # The stream starts while the late client is still raw, so that
                # a message is on its way when the answer goes out.
                streamer.go.set()
                until = connected + LATE
                chat = 0
                while time.monotonic() < until:
                    try:
                        received = len(late.receive(until))
                    except TimeoutError:
                        break
                    if not received:
                        break
                    chat += received
                self.assertGreater(chat, 0, "no chat data reached the client before its request")
                key = new_key()
                late.send(opening_request(key))

                # Chat data before the answer is unframed and allowed.
                late.skip_to(b"HTTP/1.1 101 ", 2 * TIMEOUT)
                head = late.read_until(b"\r\n\r\n")
                self.assertEqual(header(head, "Sec-WebSocket-Accept"), accept_for(key), head)
                for _ in range(2):
                    fin, opcode, payload = late.read_frame()
                    self.assertIn(opcode, (0x1, 0x2), "a message does not begin with a text or binary frame")
                    parts = [payload]
                    while not fin:
                        fin, opcode, payload = late.read_frame()
                        self.assertEqual(opcode, 0x0, "a fragmented message is broken by another frame")
                        parts.append(payload)
                    message = b"".join(parts)
                    self.assertTrue(message.startswith(b"message "), message[:40])
                    index = int(message[8:16])
                    self.assertEqual(message, long_message(index), f"message {index} arrived changed")
                streamer.stop.set()
                streamer.join(TIMEOUT)
                self.assertIsNone(streamer.error)

    def test_get_line_after_detection_is_raw_data(self):
        relay = self.start_relay()
        observer = self.set_up_raw(relay)
        sender = self.set_up_raw(relay)
        # No "HTTP/1.1" on the line: no request, whatever its first word.
        sender.send(b"GET /status\n")
        observer.expect(b"GET /status\n")
        time.sleep(LATE)
        sender.send(b"more\n")
        observer.expect(b"more\n")

    def test_opening_request_sizes(self):
        for args in (["-L", "1472"], [], ["-L", "65507"]):
            with self.subTest(args=args):
                relay = self.start_relay(args)
                observer = self.set_up_raw(relay)
                bare = websockets_head_size(relay.port)
                for scheme in ("ws", "wss"):
                    for head_size in (1024, 4096, 8192, HEAD_MAX - 64):
                        with self.subTest(scheme=scheme, head_size=head_size):
                            cookie = head_size - bare
                            asyncio.run(asyncio.wait_for(
                                websockets_exchange(relay.port, scheme, observer, cookie), 3 * TIMEOUT))

                    with self.subTest(scheme=scheme, head_size=HEAD_MAX):
                        client = self.connect(relay, scheme == "wss")
                        if scheme == "wss":
                            client.handshake()
                        key = new_key()
                        request = request_with_head_of(HEAD_MAX, key)
                        self.assertEqual(len(request), HEAD_MAX)
                        client.send(request)
                        head = client.read_until(b"\r\n\r\n")
                        self.assertTrue(head.startswith(b"HTTP/1.1 101 "), head)
                        self.assertEqual(header(head, "Sec-WebSocket-Accept"), accept_for(key))
                        client.send(masked_frame(f"after a {HEAD_MAX} byte head".encode()))
                        observer.expect(f"after a {HEAD_MAX} byte head".encode())

                    with self.subTest(scheme=scheme, head_size=HEAD_MAX + 1):
                        client = self.connect(relay, scheme == "wss")
                        if scheme == "wss":
                            client.handshake()
                        request = request_with_head_of(HEAD_MAX + 1, new_key())
                        self.assertEqual(len(request), HEAD_MAX + 1)
                        client.send(request)
                        answer = client.read_until_closed(TIMEOUT)
                        self.assertIsNotNone(answer, "relay kept a connection with a too large head open")
                        self.assertTrue(answer.startswith(b"HTTP/1.1 431 Request Header Fields Too Large\r\n"),
                                        f"no 431 answer before the close: {answer[:200]!r}")

                # Nothing of the requests reached the observer before this.
                asyncio.run(asyncio.wait_for(websockets_exchange(relay.port, "ws", observer), 3 * TIMEOUT))

    def test_clients_too_slow_to_set_up_are_closed(self):
        relay = self.start_relay()
        observer = self.set_up_raw(relay)
        request = opening_request(new_key())
        request_line = request.index(b"\r\n") + 2

        # What tells each client apart comes at once (the first six bytes of a
        # ClientHello, a whole request line): slower than that it would be a
        # raw client after the detection time. The rest comes a byte at a time.
        def drip(kind):
            client = self.connect(relay, tls=kind != "plain request")
            started = time.monotonic()
            if kind == "client hello":
                hello = client.client_hello()
                at_once, rest, send = hello[:6], hello[6:], client.sock.sendall
            else:
                if kind == "request over tls":
                    client.handshake()
                at_once, rest, send = request[:request_line], request[request_line:], client.send
            send(at_once)
            for byte in rest:
                if time.monotonic() - started > SETUP_LIMIT_MAX:
                    break
                try:
                    if client.read_until_closed(DRIP_INTERVAL) is not None:
                        return time.monotonic() - started
                    send(bytes([byte]))
                except (BrokenPipeError, ConnectionResetError):
                    return time.monotonic() - started
            return None

        kinds = ("client hello", "request over tls", "plain request")
        with ThreadPoolExecutor(len(kinds)) as pool:
            futures = [pool.submit(drip, kind) for kind in kinds]
            # Slow clients hold their slots; others are set up meanwhile.
            time.sleep(1.0)
            asyncio.run(asyncio.wait_for(websockets_exchange(relay.port, "ws", observer), 3 * TIMEOUT))
            for kind, future in zip(kinds, futures):
                with self.subTest(kind=kind):
                    closed_after = future.result(SETUP_LIMIT_MAX + TIMEOUT)
                    self.assertIsNotNone(closed_after, f"not closed within {SETUP_LIMIT_MAX} s")
                    self.assertGreater(closed_after, SETUP_LIMIT_MIN)
        failures = [line for line in relay.console().splitlines() if line.lstrip("\r").startswith("!!")]
        self.assertEqual(failures, [], relay.console())

    def test_tls_data_soon_after_handshake_is_no_request(self):
        relay = self.start_relay()
        observer = self.set_up_raw(relay)
        talker = self.connect(relay, tls=True)
        talker.handshake()
        talker.send(b"hello\n")
        observer.expect(b"hello\n")
        self.assertNotIn(INVALID_HANDSHAKE, relay.console())

        # A request without a key is one, and is refused as such.
        asker = self.connect(relay, tls=True)
        asker.handshake()
        asker.send(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(relay.wait_output(INVALID_HANDSHAKE, TIMEOUT), relay.console())


if __name__ == "__main__":
    EXE, SOURCE_DIR = relay_harness.relay_paths(sys.argv)
    unittest.main(verbosity=2)
