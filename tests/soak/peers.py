"""Loopback clients of the relay for the soak run: one non-blocking socket,
TLS through memory BIOs (so one thread drives both directions and a record
can be cut short on purpose), and the RFC 6455 and draft-76 framings.

The relay tells protocols apart by the first bytes that reach it within
500 ms of its accept, and waits as long for each TLS handshake flight. A
client late by that much would be taken for a raw one and its ClientHello
relayed to everyone, which no checker could tell from a fault. So a client
sends its first bytes (the ClientHello, the WebSocket request, or data),
made ready beforehand, in the same breath as its connect; and when the
kernel shows that this process lost the processor for LATE since the
connection came up, or since the relay's handshake flight arrived, the
client withdraws (Late) instead of sending: on a starved machine that is
this program's delay, not the relay's."""

import base64
import hashlib
import os
import select
import socket
import ssl
import struct
import time

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
LATE = 0.25
# Milliseconds since the last data and the last acknowledgement arrived, in
# Linux's struct tcp_info.
TCP_INFO_LAST_DATA_RECV = 52
TCP_INFO_LAST_ACK_RECV = 56
KINDS = ("raw", "tls", "ws", "wss", "ws76", "wss76")


class Closed(Exception):
    """The relay ended the connection."""


class Late(Closed):
    """This client withdrew: it would have sent its opening too late."""


class ProtocolError(Exception):
    """The relay sent something its protocol does not allow."""


def remaining(deadline):
    return max(0.0, deadline - time.monotonic())


class Conn:
    def __init__(self, port, tls_context=None, on_connect=None):
        self.port = port
        self.tls_context = tls_context
        self.on_connect = on_connect
        self.sock = None
        self.tls = None
        self.wire = bytearray()
        # Bytes received and not yet taken by `pump`, on a plain connection;
        # on a TLS one they wait in the TLS object.
        self.received = bytearray()
        self.eof = False

    def open(self, deadline, first=b""):
        """Connects and sends `first`, the first application bytes: at once,
        or with the last flight of the TLS handshake."""
        opening = first
        if self.tls_context is not None:
            self._incoming = ssl.MemoryBIO()
            self._outgoing = ssl.MemoryBIO()
            self.tls = self.tls_context.wrap_bio(self._incoming, self._outgoing, server_hostname="localhost")
            try:
                self.tls.do_handshake()
            except ssl.SSLWantReadError:
                pass
            opening = self._outgoing.read()
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=max(0.1, remaining(deadline)))
        if self.on_connect is not None:
            self.on_connect()
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if opening:
            self._check_in_time(TCP_INFO_LAST_ACK_RECV)
            self.sock.sendall(opening)
        self.sock.setblocking(False)
        if self.tls is not None:
            self._tls_handshake(deadline)
            if first:
                self.write(first)
            self._check_in_time(TCP_INFO_LAST_DATA_RECV)
            self._io(0)

    def _check_in_time(self, since):
        info = self.sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 104)
        if struct.unpack_from("I", info, since)[0] >= LATE * 1000:
            self.reset()
            raise Late("withdrew: the processor came back too late to answer the relay in time")

    def _tls_handshake(self, deadline):
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                pass
            self._take_tls_output()
            if self.wire:
                self._check_in_time(TCP_INFO_LAST_DATA_RECV)
            self._io(min(0.2, remaining(deadline)))
            if self.eof:
                raise Closed("closed during the TLS handshake")
            if remaining(deadline) == 0:
                raise TimeoutError("TLS handshake")
        self._take_tls_output()

    def _take_tls_output(self):
        pending = self._outgoing.read()
        if pending:
            self.wire += pending

    def write(self, data):
        """Queues application bytes."""
        if self.tls is not None:
            # Partial writes are on: each call may take one record only.
            view = memoryview(data)
            while view:
                view = view[self.tls.write(view):]
            self._take_tls_output()
        else:
            self.wire += data

    def write_wire(self, data):
        """Queues bytes that go out as they are, past the TLS layer."""
        self.wire += data

    def seal(self, data):
        """The TLS records for `data`, not queued."""
        self.tls.write(data)
        return self._outgoing.read()

    def close_tls(self):
        """Queues the TLS close_notify."""
        try:
            self.tls.unwrap()
        except ssl.SSLWantReadError:
            pass
        self._take_tls_output()

    def _io(self, timeout):
        """One wait: sends what it can and keeps what is there to receive."""
        want_write = [self.sock] if self.wire else []
        readable, writable, _ = select.select([self.sock] if not self.eof else [], want_write, [], timeout)
        if writable:
            try:
                sent = self.sock.send(self.wire)
                del self.wire[:sent]
            except BlockingIOError:
                pass
        if not readable:
            return
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:
            return
        if not data:
            self.eof = True
            if self.tls is not None:
                self._incoming.write_eof()
        elif self.tls is not None:
            self._incoming.write(data)
        else:
            self.received += data

    def pump(self, timeout):
        """Sends queued bytes and returns the application bytes that arrived
        within `timeout` (maybe none). Raises Closed at the end of the stream."""
        self._io(timeout)
        if self.tls is None:
            raw = bytes(self.received)
            self.received.clear()
            if self.eof and not raw:
                raise Closed("end of stream")
            return raw
        out = bytearray()
        while True:
            try:
                chunk = self.tls.read(65536)
            except ssl.SSLWantReadError:
                break
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                chunk = b""
            if not chunk:
                # The peer's close_notify, or the end of the stream.
                self._take_tls_output()
                if out:
                    return bytes(out)
                raise Closed("TLS stream ended")
            out += chunk
        self._take_tls_output()
        if not out and self.eof:
            raise Closed("end of stream")
        return bytes(out)

    def flush(self, deadline):
        while self.wire and remaining(deadline) > 0:
            self._io(min(0.1, remaining(deadline)))

    def shutdown_write(self):
        self.sock.shutdown(socket.SHUT_WR)

    def reset(self):
        """Ends the connection with a TCP reset."""
        if self.sock is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.sock.close()
            self.sock = None

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


class RawFraming:
    def frame(self, payload):
        return payload

    def parse(self, data):
        return [("data", data)] if data else []


class WsFraming:
    """RFC 6455 from the client's side: masked frames out, unmasked in."""

    def __init__(self):
        self.pending = bytearray()
        self.in_message = False

    @staticmethod
    def frame(payload, opcode=2, fin=True, length=None):
        n = len(payload) if length is None else length
        head = bytearray([(0x80 if fin else 0) | opcode])
        if n <= 125:
            head.append(0x80 | n)
        elif n <= 0xFFFF:
            head.append(0x80 | 126)
            head += struct.pack(">H", n)
        else:
            head.append(0x80 | 127)
            head += struct.pack(">Q", n)
        key = os.urandom(4)
        size = len(payload)
        mask = (key * (size // 4 + 1))[:size]
        masked = (int.from_bytes(payload, "big") ^ int.from_bytes(mask, "big")).to_bytes(size, "big") if size else b""
        return bytes(head) + key + masked

    def parse(self, data):
        self.pending += data
        events = []
        while len(self.pending) >= 2:
            first, second = self.pending[0], self.pending[1]
            opcode = first & 0x0F
            control = opcode >= 8
            # A message longer than the relay's receive comes in fragments;
            # one message at a time, control frames whole.
            fragment_error = (opcode == 0) != self.in_message if not control else not first & 0x80
            if first & 0x70 or fragment_error:
                raise ProtocolError(f"frame head {first:#04x} from the relay")
            if second & 0x80:
                raise ProtocolError("masked frame from the relay")
            length = second & 0x7F
            at = 2
            if length == 126:
                if len(self.pending) < 4:
                    break
                length = struct.unpack(">H", self.pending[2:4])[0]
                at = 4
            elif length == 127:
                if len(self.pending) < 10:
                    break
                length = struct.unpack(">Q", self.pending[2:10])[0]
                at = 10
            if len(self.pending) < at + length:
                break
            payload = bytes(self.pending[at:at + length])
            del self.pending[:at + length]
            if not control:
                self.in_message = not first & 0x80
            kinds = {0: "data", 1: "data", 2: "data", 8: "close", 10: "pong"}
            if opcode not in kinds:
                raise ProtocolError(f"opcode {opcode} from the relay")
            events.append((kinds[opcode], payload))
        return events


class Ws76Framing:
    """The draft-76 framing: 0x00, the message, 0xFF; 0xFF 0x00 closes."""

    def __init__(self):
        self.pending = bytearray()

    @staticmethod
    def frame(payload):
        return b"\x00" + payload + b"\xff"

    def parse(self, data):
        self.pending += data
        events = []
        while self.pending:
            if self.pending[:1] == b"\xff":
                if len(self.pending) < 2:
                    break
                if self.pending[1] != 0x00:
                    raise ProtocolError(f"draft-76 closing frame ends with {self.pending[1]:#04x}")
                events.append(("close", b""))
                del self.pending[:2]
                continue
            if self.pending[0] != 0x00:
                raise ProtocolError(f"draft-76 frame starts with {self.pending[0]:#04x}")
            end = self.pending.find(0xFF, 1)
            if end < 0:
                break
            events.append(("data", bytes(self.pending[1:end])))
            del self.pending[:end + 1]
        return events


def read_until(conn, marker, extra, deadline):
    """Application bytes up to and including `marker` and `extra` bytes
    after it, and what came after those."""
    got = bytearray()
    while True:
        at = got.find(marker)
        if at >= 0 and len(got) >= at + len(marker) + extra:
            end = at + len(marker) + extra
            return bytes(got[:end]), bytes(got[end:])
        if remaining(deadline) == 0:
            raise TimeoutError(f"waiting for {marker!r}")
        got += conn.pump(min(0.2, remaining(deadline)))


def ws_request(port):
    key = base64.b64encode(os.urandom(16))
    request = (b"GET /soak HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (port, key))
    accept = base64.b64encode(hashlib.sha1(key + WS_GUID).digest())
    return request, accept


def draft76_key(rng):
    spaces = rng.randint(1, 12)
    value = rng.randint(0, 0xFFFFFFFF // spaces)
    text = list(str(value * spaces))
    for _ in range(spaces):
        text.insert(rng.randint(1, len(text)), " ")
    text.insert(rng.randint(0, len(text)), "q%")
    return value, "".join(text).encode()


def ws76_request(port, rng):
    n1, key1 = draft76_key(rng)
    n2, key2 = draft76_key(rng)
    key3 = bytes(rng.randrange(1, 256) for _ in range(8))
    request = (b"GET /soak HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: %s\r\n"
               b"Upgrade: WebSocket\r\nSec-WebSocket-Key1: %s\r\nOrigin: http://soak.test\r\n\r\n" %
               (port, key2, key1)) + key3
    digest = hashlib.md5(struct.pack(">II", n1, n2) + key3).digest()
    return request, digest


def connect(conn, kind, rng, deadline, first=b""):
    """Opens the connection and the framing that `kind` names, checking the
    relay's answer; a raw or TLS client sends `first` as it connects.
    Returns the framing and the bytes that followed the answer."""
    if kind in ("raw", "tls"):
        conn.open(deadline, first)
        return RawFraming(), b""
    if kind in ("ws", "wss"):
        request, accept = ws_request(conn.port)
        conn.open(deadline, request)
        head, rest = read_until(conn, b"\r\n\r\n", 0, deadline)
        if not head.startswith(b"HTTP/1.1 101 ") or b"\r\nSec-WebSocket-Accept: " + accept + b"\r\n" not in head:
            raise ProtocolError(f"bad RFC 6455 answer {head!r}")
        framing = WsFraming()
    else:
        request, digest = ws76_request(conn.port, rng)
        conn.open(deadline, request)
        head, rest = read_until(conn, b"\r\n\r\n", 16, deadline)
        if not head.startswith(b"HTTP/1.1 101 ") or not head.endswith(digest):
            raise ProtocolError(f"bad draft-76 answer {head!r}")
        framing = Ws76Framing()
    return framing, rest


def tls_kind(kind):
    return kind in ("tls", "wss", "wss76")
