"""Checkable record streams for the soak run.

The relay forwards each piece it reads from a client to every other client,
so a receiver gets the streams of all senders cut into pieces and
interleaved, and a raw receiver cannot see where one piece ends. Every byte
of a well-behaved sender therefore names its stream: its high five bits are
the sender's lane, its low three bits a symbol. A receiver splits whatever
arrives by lane and checks each lane's symbols on their own, whatever the
interleaving was.

Lanes 16 to 29 (bytes 0x80 to 0xEF) belong to well-behaved senders, one
sender per lane at a time. Every other byte (0x00 to 0x7F and 0xF0 to 0xFE)
is foreign: misbehaving clients send only those, handshake text is made of
them, and receivers drop them. 0xFF never occurs, so that the draft-76
framing, which ends a message at 0xFF, carries every stream.

A record is the symbol 7 (its start) followed by base-7 digits (symbols 0 to
6): sender id, sequence number, final flag, payload length, the payload (a
function of id and sequence number) and the CRC-32 of all of that. Since 7
occurs nowhere else, a receiver that joins in the middle of a record starts
at the next 7, and from then on every symbol of the lane must belong to a
valid record: a lost, altered, repeated or foreign byte in a lane breaks a
record or its sequence.
"""

import functools
import random
import zlib

LANE_FIRST = 16
LANE_LAST = 29
LANES = range(LANE_FIRST, LANE_LAST + 1)
START = 7
BASE = 7

ID_DIGITS = 6
SEQ_DIGITS = 12
FINAL_DIGITS = 1
LENGTH_DIGITS = 5
CRC_DIGITS = 12
HEADER = 1 + ID_DIGITS + SEQ_DIGITS + FINAL_DIGITS + LENGTH_DIGITS
OVERHEAD = HEADER + CRC_DIGITS
MAX_PAYLOAD = BASE**LENGTH_DIGITS - 1

# Bytes no well-behaved stream uses, for misbehaving clients.
FOREIGN = bytes(range(0x00, 0x80)) + bytes(range(0xF0, 0xFF))

_WELL_BEHAVED = bytes(range(LANE_FIRST << 3, (LANE_LAST + 1) << 3))
_DROP_FOREIGN = bytes(b for b in range(256) if b not in _WELL_BEHAVED)
_DROP_OTHER_LANES = {
    lane: bytes(b for b in _WELL_BEHAVED if b >> 3 != lane) for lane in LANES
}
_TO_SYMBOL = bytes(b & 7 for b in range(256))
_MOD_BASE = bytes(b % BASE for b in range(256))


def digits(value, count):
    out = bytearray(count)
    for i in range(count - 1, -1, -1):
        value, out[i] = divmod(value, BASE)
    if value:
        raise ValueError("value does not fit its digits")
    return bytes(out)


def number(symbols):
    value = 0
    for s in symbols:
        value = value * BASE + s
    return value


@functools.lru_cache(maxsize=4096)
def payload_symbols(sender, seq, length):
    rng = random.Random(sender * 1_000_003 + seq)
    return rng.randbytes(length).translate(_MOD_BASE)


def record_symbols(sender, seq, final, length):
    body = (bytes([START]) + digits(sender, ID_DIGITS) + digits(seq, SEQ_DIGITS) + digits(int(final), FINAL_DIGITS) +
            digits(length, LENGTH_DIGITS) + payload_symbols(sender, seq, length))
    return body + digits(zlib.crc32(body), CRC_DIGITS)


class Sender:
    """One well-behaved sender's record stream on its lane."""

    def __init__(self, sender, lane):
        self.sender = sender
        self.lane = lane
        self.seq = 0
        self._lane_table = bytes(((lane << 3) | (b & 7)) for b in range(256))

    def record(self, length, final=False):
        data = record_symbols(self.sender, self.seq, final, length).translate(self._lane_table)
        self.seq += 1
        return data


class StreamError(Exception):
    pass


class LaneReader:
    """Parses one lane's symbols into records and checks them."""

    def __init__(self, lane, check):
        self.lane = lane
        self.check = check
        self.pending = bytearray()
        self.synced = False
        self.last = None

    def feed(self, symbols):
        self.pending += symbols
        if not self.synced:
            at = self.pending.find(START)
            if at < 0:
                self.pending.clear()
                return
            del self.pending[:at]
            self.synced = True
        while self.pending:
            if self.pending[0] != START:
                raise StreamError(f"lane {self.lane}: symbol {self.pending[0]} where a record starts, after "
                                  f"{self.after()}: {bytes(self.pending[:48]).hex()}")
            if len(self.pending) < HEADER:
                return
            header = bytes(self.pending[:HEADER])
            if START in header[1:]:
                raise StreamError(f"lane {self.lane}: record header cut short")
            at = 1
            sender = number(header[at:at + ID_DIGITS])
            at += ID_DIGITS
            seq = number(header[at:at + SEQ_DIGITS])
            at += SEQ_DIGITS
            final = header[at]
            at += FINAL_DIGITS
            length = number(header[at:at + LENGTH_DIGITS])
            if final > 1:
                raise StreamError(f"lane {self.lane}: final flag {final}")
            total = HEADER + length + CRC_DIGITS
            if len(self.pending) < total:
                return
            got = bytes(self.pending[:total])
            del self.pending[:total]
            if got != record_symbols(sender, seq, bool(final), length):
                raise StreamError(f"lane {self.lane}: record {sender}/{seq} of {length} symbols differs, after "
                                  f"{self.after()}")
            self.check(self.lane, sender, seq, bool(final), length)
            self.last = (sender, seq, length)

    def after(self):
        return "no record" if self.last is None else "record %d/%d of %d symbols" % self.last


class Demux:
    """Splits received bytes by lane and hands each lane's symbols to its
    reader; `check(lane, sender, seq, final, length)` judges each record."""

    def __init__(self, check):
        self.readers = {lane: LaneReader(lane, check) for lane in LANES}
        self.bytes = 0

    def feed(self, data):
        mine = data.translate(None, _DROP_FOREIGN)
        if not mine:
            return
        self.bytes += len(mine)
        for lane, reader in self.readers.items():
            part = mine.translate(None, _DROP_OTHER_LANES[lane])
            if part:
                reader.feed(part.translate(_TO_SYMBOL))


def garbage(rng, length, ascii_only=False):
    """Foreign bytes; the first is neither a TLS record type nor a 'G'. On a
    connection that the relay may have taken for a WebSocket one, the bytes
    are read as frames, and a frame with the mask bit (a second byte of 0x80
    or more) would be unmasked into any byte at all: ASCII has no such bit."""
    data = bytearray(rng.choice(FOREIGN[:0x80] if ascii_only else FOREIGN) for _ in range(length))
    if data and data[0] in (0x16, ord("G")):
        data[0] = 0x7F
    return bytes(data)
