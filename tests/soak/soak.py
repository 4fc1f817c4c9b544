#!/usr/bin/python3
"""Soak run of the real relay on loopback: clients of every kind connect,
hand-shake, relay records of mixed sizes, misbehave and leave, for a given
time, while the relay's resident memory, open descriptors and threads are
sampled every second.

It fails when
- a well-behaved client gets a byte it should not (see records.py for how
  streams stay checkable through the relay's interleaving), loses the end of
  a sender's stream, is dropped, or is answered wrongly;
- resident memory, threads or descriptors other than sockets grow: the
  highest value of the last window of the run is above the highest of the
  first window after the warm-up plus a margin (memory: 5 % or 1 MiB,
  others: none);
- the relay ever holds more sockets than its slots and its listener (the
  number of sockets follows the clients, so only its bound is checked);
- once every client has left, the relay's descriptors or threads are not
  back at the level they had before the first client came;
- the relay does not stop with exit code 0 on SIGTERM.

Writes samples.csv, soak.png (with python3-matplotlib), relay.log and
summary.txt into the output folder.
"""

import argparse
import csv
import os
import random
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers  # noqa: E402
import records  # noqa: E402
from peers import Closed, Conn, ProtocolError, remaining  # noqa: E402

GOOD_WORKERS = 10
BAD_WORKERS = 14
# A lane is handed to a new sender only this long after its last sender
# left, so that no piece of the old stream can still be on its way.
LANE_QUARANTINE = 30.0
# A receiver that saw part of a sender's stream must have its final record
# once the sender has been gone this long.
FINAL_MARGIN = 30.0
HANDSHAKE_TIMEOUT = 20.0
LEAVE_TIMEOUT = 10.0
# Time between the starts of two clients that never read.
NEVER_READING_GAP = 30.0
# Senders stop queueing while this much is still unsent.
UNSENT_LIMIT = 64 * 1024
LISTENING_LINE = ":: waiting for client connection..."
# A draft-76 client sends only text, and lane records are not UTF-8: it
# takes no lane and sends foreign ASCII text, which every receiver drops.
TEXT_ONLY = ("ws76", "wss76")
START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0
SETTLE_TIMEOUT = 30.0
MARGIN = {"rss_kb": lambda peak: max(1024, peak * 0.05), "other_fds": lambda peak: 0, "threads": lambda peak: 0}
# The relay's 32 connection slots and its listening socket.
MAX_SOCKETS = 32 + 1


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.errors = []

    def add(self, name, n=1):
        with self.lock:
            self.counts[name] = self.counts.get(name, 0) + n

    def get(self, name):
        with self.lock:
            return self.counts.get(name, 0)

    def error(self, text):
        line = f"{time.strftime('%H:%M:%S')} {text}"
        with self.lock:
            self.errors.append(line)
        print("FAULT:", line, flush=True)


class Lanes:
    """Hands out lanes, the one that has been free longest first."""

    def __init__(self):
        self.lock = threading.Lock()
        self.freed = {lane: float("-inf") for lane in records.LANES}

    def take(self):
        with self.lock:
            now = time.monotonic()
            ready = [lane for lane, at in self.freed.items() if now - at >= LANE_QUARANTINE]
            if not ready:
                return None
            lane = min(ready, key=lambda lane: self.freed[lane])
            del self.freed[lane]
            return lane

    def give(self, lane):
        with self.lock:
            self.freed[lane] = time.monotonic()


class Senders:
    """Sender ids, and the last sequence number of each sender that left in
    order."""

    def __init__(self):
        self.lock = threading.Lock()
        self.next_id = 1
        self.finished = {}
        self.kinds = {}

    def new_id(self, kind):
        with self.lock:
            sender = self.next_id
            self.next_id += 1
            self.kinds[sender] = kind
            return sender

    def kind(self, sender):
        with self.lock:
            return self.kinds.get(sender, "?")

    def finish(self, sender, last_seq):
        with self.lock:
            self.finished[sender] = (last_seq, time.monotonic())

    def final(self, sender):
        with self.lock:
            return self.finished.get(sender)


class Soak:
    def __init__(self, port, tls_context):
        self.port = port
        self.tls_context = tls_context
        self.stop = threading.Event()
        self.stats = Stats()
        self.lanes = Lanes()
        self.senders = Senders()
        self.never_reading_lock = threading.Lock()
        self.next_never_reading = 0.0

    def conn(self, kind):
        return Conn(self.port, self.tls_context if peers.tls_kind(kind) else None,
                    on_connect=lambda: self.stats.add("connections"))

    # Well-behaved clients.

    def good_session(self, rng):
        kind = rng.choice(peers.KINDS)
        lane = self.lanes.take() if kind not in TEXT_ONLY and rng.random() < 0.75 else None
        sender = records.Sender(self.senders.new_id(kind), lane) if lane is not None else None
        conn = self.conn(kind)
        name = f"{kind} client" + (f" (sender {sender.sender}, lane {lane})" if sender else " (receiver)")
        left_in_order = False
        try:
            left_in_order = Good(self, conn, kind, sender, rng).run(rng.uniform(2.0, 25.0))
        except peers.Late:
            self.stats.add("late")
        except (records.StreamError, ProtocolError) as e:
            kinds = ", ".join(f"{i} {self.senders.kind(int(i))}" for i in sorted(set(re.findall(r"(\d+)/", str(e)))))
            self.stats.error(f"{name}: {e}" + (f" (senders: {kinds})" if kinds else ""))
        except (Closed, TimeoutError, OSError, ssl.SSLError) as e:
            self.stats.error(f"{name} dropped: {type(e).__name__}: {e}")
        finally:
            conn.close()
            if sender is not None:
                if left_in_order:
                    self.senders.finish(sender.sender, sender.seq - 1)
                self.lanes.give(lane)

    # Misbehaving clients: their bytes are all foreign, and whatever the
    # relay does to them is theirs to bear.

    def bad_session(self, rng):
        choices = [(self.garbage_raw, 3), (self.garbage_tls, 2), (self.ws_cut_frame, 2), (self.ws_bad_frame, 1),
                   (self.ws76_cut_frame, 1), (self.bad_request, 2), (self.bad_client_hello, 1), (self.silent, 1),
                   (self.never_reads, 1), (self.half_closed, 1)]
        action = rng.choices([c[0] for c in choices], weights=[c[1] for c in choices])[0]
        self.stats.add("misbehaving")
        try:
            action(rng)
        except peers.Late:
            self.stats.add("late_misbehaving")
        except (Closed, TimeoutError, OSError, ssl.SSLError, ProtocolError):
            pass

    def open_bad(self, kind, rng, first=b""):
        conn = self.conn(kind)
        try:
            framing, _ = peers.connect(conn, kind, rng, time.monotonic() + HANDSHAKE_TIMEOUT, first)
        except BaseException:
            conn.close()
            raise
        return conn, framing

    def linger(self, conn, seconds):
        """Reads and drops what arrives for `seconds` or until the end."""
        deadline = time.monotonic() + seconds
        while remaining(deadline) > 0:
            conn.pump(min(0.1, remaining(deadline)))

    def leave_badly(self, conn, rng):
        how = rng.randrange(3)
        if how == 0:
            conn.reset()
        elif how == 1:
            conn.flush(time.monotonic() + 1.0)
            conn.close()
        else:
            conn.flush(time.monotonic() + 1.0)
            conn.shutdown_write()
            self.linger(conn, rng.uniform(0.0, 1.0))
            conn.close()

    def garbage_raw(self, rng):
        conn, _ = self.open_bad("raw", rng, records.garbage(rng, rng.randint(1, 3000)))
        try:
            self.linger(conn, rng.uniform(0.0, 0.5))
            self.leave_badly(conn, rng)
        finally:
            conn.close()

    def garbage_tls(self, rng):
        conn, _ = self.open_bad("tls", rng, records.garbage(rng, rng.randint(1, 3000)))
        try:
            self.linger(conn, rng.uniform(0.0, 0.5))
            if rng.random() < 0.5:
                # A record of which only the first part goes out.
                record = conn.seal(records.garbage(rng, rng.randint(50, 3000)))
                conn.write_wire(record[:rng.randint(1, len(record) - 1)])
                conn.flush(time.monotonic() + 1.0)
                conn.reset()
            else:
                self.leave_badly(conn, rng)
        finally:
            conn.close()

    def ws_cut_frame(self, rng):
        conn, framing = self.open_bad(rng.choice(("ws", "wss")), rng)
        try:
            for _ in range(rng.randrange(3)):
                conn.write(framing.frame(records.garbage(rng, rng.randint(1, 2000))))
            frame = framing.frame(records.garbage(rng, rng.randint(2, 3000)))
            conn.write(frame[:rng.randint(1, len(frame) - 1)])
            conn.flush(time.monotonic() + 1.0)
            self.linger(conn, rng.uniform(0.0, 0.3))
            conn.reset()
        finally:
            conn.close()

    def ws_bad_frame(self, rng):
        conn, framing = self.open_bad(rng.choice(("ws", "wss")), rng)
        try:
            conn.write(rng.choice([
                framing.frame(b"rsv", opcode=0x42),  # a reserved bit
                framing.frame(b"op3", opcode=3),
                framing.frame(b"p" * 126, opcode=9),  # a control payload over 125 bytes
                framing.frame(b"cont", opcode=0),  # a continuation of nothing
                framing.frame(b"ping", opcode=9, fin=False),
            ]))
            self.linger(conn, 2.0)
        finally:
            conn.close()

    def ws76_cut_frame(self, rng):
        conn, framing = self.open_bad(rng.choice(("ws76", "wss76")), rng)
        try:
            if rng.random() < 0.5:
                conn.write(framing.frame(records.garbage(rng, rng.randint(1, 1000))))
            conn.write(b"\x00" + records.garbage(rng, rng.randint(0, 2000)))
            conn.flush(time.monotonic() + 1.0)
            self.linger(conn, rng.uniform(0.0, 0.3))
            conn.reset()
        finally:
            conn.close()

    def bad_request(self, rng):
        request = rng.choice([
            b"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET / HTTP/1.1\r\nSec-WebSocket-Key1: 12 34\r\nSec-WebSocket-Key2: 5678\r\n"
            b"Origin: o\r\nHost: h\r\n\r\n12345678",  # a key without spaces
            b"GET / HTTP/1.1\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\nOrigin: " + b"o" * 200 +
            b"\r\nHost: h\r\n\r\n12345678",  # an origin longer than the relay keeps
            b"GET " + records.garbage(rng, rng.randint(0, 500)),
            b"GET / HTTP/1.1\r\nSec-WebSocket-Key:",
        ])
        conn, _ = self.open_bad(rng.choice(("raw", "tls")), rng, request)
        try:
            self.linger(conn, rng.uniform(0.0, 0.6))
            # The last request is answered, so what follows may be read as frames.
            conn.write(records.garbage(rng, rng.randint(0, 500), ascii_only=True))
            self.leave_badly(conn, rng)
        finally:
            conn.close()

    def bad_client_hello(self, rng):
        conn, _ = self.open_bad("raw", rng, b"\x16\x03\x01\x00\x40\x01" + records.garbage(rng, rng.randint(0, 300)))
        try:
            self.linger(conn, 1.5)
        finally:
            conn.close()

    def silent(self, rng):
        conn, _ = self.open_bad("raw", rng)
        try:
            time.sleep(rng.uniform(0.0, 1.5))
            if rng.random() < 0.5:
                conn.reset()
        finally:
            conn.close()

    def never_reads(self, rng):
        # Once the relay's buffers towards it are full, such a client holds
        # up every sender until it goes, so they come one at a time and
        # seldom.
        with self.never_reading_lock:
            if time.monotonic() < self.next_never_reading:
                return self.garbage_raw(rng)
            self.next_never_reading = time.monotonic() + NEVER_READING_GAP
        conn, _ = self.open_bad("raw", rng, records.garbage(rng, 1))
        try:
            self.stop.wait(rng.uniform(2.0, 8.0))
            conn.reset()
        finally:
            conn.close()

    def half_closed(self, rng):
        conn, _ = self.open_bad("raw", rng, records.garbage(rng, rng.randint(1, 1000)))
        try:
            conn.flush(time.monotonic() + 1.0)
            conn.shutdown_write()
            self.linger(conn, rng.uniform(0.5, 2.0))
        finally:
            conn.close()

    def worker(self, session, seed):
        rng = random.Random(seed)
        while not self.stop.is_set():
            session(rng)


class Good:
    """One well-behaved client: it checks every record it receives and, with
    a lane, sends records of its own; then it leaves in order."""

    def __init__(self, soak, conn, kind, sender, rng):
        self.soak = soak
        self.conn = conn
        self.kind = kind
        self.sender = sender
        self.rng = rng
        self.seen = {}
        self.demux = records.Demux(self.check)
        self.framing = None
        self.ping = None
        self.closing = False

    def check(self, lane, sender, seq, final, length):
        if self.sender is not None and sender == self.sender.sender:
            raise records.StreamError(f"its own record {sender}/{seq} came back")
        previous = self.seen.get(sender)
        if previous is not None:
            if previous[1]:
                raise records.StreamError(f"record {sender}/{seq} after that sender's final record")
            if seq != previous[0] + 1:
                raise records.StreamError(f"record {sender}/{seq} follows {sender}/{previous[0]}")
        self.seen[sender] = (seq, final)
        self.soak.stats.add("records_checked")

    def take(self, data):
        for event, payload in self.framing.parse(data):
            if event == "data":
                self.demux.feed(payload)
            elif event == "pong":
                if payload != self.ping:
                    raise ProtocolError(f"pong {payload!r} for ping {self.ping!r}")
                self.ping = None
            elif not self.closing:
                raise ProtocolError("close frame from the relay")
            else:
                return True
        return False

    def record_lengths(self, room):
        lengths = []
        for _ in range(self.rng.randint(1, 3)):
            roll = self.rng.random()
            if roll < 0.6:
                length = self.rng.randint(0, 64)
            elif roll < 0.9:
                length = self.rng.randint(65, 1000)
            elif roll < 0.97 or room < 16000:
                length = self.rng.randint(1001, 3800)
            else:
                length = self.rng.randint(4000, 16000)
            if sum(lengths) + len(lengths) * records.OVERHEAD + length + records.OVERHEAD > room:
                break
            lengths.append(length)
        return lengths or [0]

    def message(self):
        # A WebSocket message must fit the relay's packet; raw and TLS
        # streams are cut by the relay wherever it likes.
        room = 3900 if self.kind.startswith("ws") else 40000
        self.soak.stats.add("messages_sent")
        return b"".join(self.sender.record(length) for length in self.record_lengths(room))

    def send_message(self):
        if self.sender is None:
            self.soak.stats.add("messages_sent")
            self.conn.write(self.framing.frame(records.garbage(self.rng, self.rng.randint(1, 2000), ascii_only=True)))
        else:
            self.conn.write(self.framing.frame(self.message()))

    def run(self, life):
        conn = self.conn
        # A raw or TLS client opens with its first message or, receiving
        # only, with one foreign byte, so that the relay sets it up at once.
        first = b""
        if self.kind in ("raw", "tls"):
            first = self.message() if self.sender is not None else b"\x7f"
        self.framing, rest = peers.connect(conn, self.kind, self.rng, time.monotonic() + HANDSHAKE_TIMEOUT, first)
        self.soak.stats.add("good_" + self.kind)
        self.take(rest)
        end = time.monotonic() + life
        next_send = time.monotonic()
        while time.monotonic() < end and not self.soak.stop.is_set():
            now = time.monotonic()
            sends = self.sender is not None or self.kind in TEXT_ONLY
            if sends and now >= next_send and len(conn.wire) < UNSENT_LIMIT:
                self.send_message()
                next_send = now + self.rng.expovariate(1 / 0.03)
            if self.kind in ("ws", "wss") and self.ping is None and self.rng.random() < 0.01:
                self.ping = os.urandom(8)
                conn.write(peers.WsFraming.frame(self.ping, opcode=9))
            self.take(conn.pump(0.02))
        self.leave()
        self.final_check()
        return True

    def leave(self):
        conn = self.conn
        deadline = time.monotonic() + LEAVE_TIMEOUT
        if self.sender is not None:
            conn.write(self.framing.frame(self.sender.record(self.rng.randint(0, 64), final=True)))
            self.soak.stats.add("messages_sent")
        self.closing = True
        if self.kind in ("ws", "wss"):
            conn.write(peers.WsFraming.frame(b"\x03\xe8", opcode=8))
        elif self.kind in ("ws76", "wss76"):
            conn.write(b"\xff\x00")
        elif self.kind == "tls":
            conn.close_tls()
        conn.flush(deadline)
        if conn.wire:
            raise TimeoutError("its last bytes did not leave")
        if self.kind in ("raw", "tls"):
            conn.shutdown_write()
        # What still arrives is checked; the relay ends the connection.
        try:
            while remaining(deadline) > 0:
                if self.take(conn.pump(min(0.1, remaining(deadline)))):
                    break
        except Closed:
            pass

    def final_check(self):
        for sender, (seq, final) in self.seen.items():
            if final:
                continue
            done = self.soak.senders.final(sender)
            if done is not None and time.monotonic() - done[1] >= FINAL_MARGIN and seq != done[0]:
                raise records.StreamError(f"sender {sender} ended at {done[0]}, last record here {seq}")


def proc_sample(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    return {
        "rss_kb": int(re.search(r"^VmRSS:\s+(\d+)", status, re.M).group(1)),
        "threads": int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1)),
        "sockets": sum(1 for target in fd_targets(pid) if target.startswith("socket:")),
        "other_fds": sum(1 for target in fd_targets(pid) if not target.startswith("socket:")),
    }


def fd_targets(pid):
    targets = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            targets.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except FileNotFoundError:
            pass
    return targets


class Sampler(threading.Thread):
    def __init__(self, pid, stats):
        super().__init__(daemon=True)
        self.pid = pid
        self.stats = stats
        self.phase = "idle-before"
        self.rows = []
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.t0 = time.monotonic()

    def run(self):
        while not self.done.wait(1.0):
            self.take()

    def take(self):
        try:
            row = proc_sample(self.pid)
        except (OSError, AttributeError):
            return None
        row.update(t=round(time.monotonic() - self.t0, 2), phase=self.phase,
                   connections=self.stats.get("connections"), records_checked=self.stats.get("records_checked"),
                   messages_sent=self.stats.get("messages_sent"), faults=len(self.stats.errors))
        with self.lock:
            self.rows.append(row)
        return row

    def snapshot(self):
        with self.lock:
            return list(self.rows)


def idle_level(row):
    return row["sockets"], row["other_fds"], row["threads"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_relay(exe, directory, log):
    for _ in range(5):
        port = free_port()
        log.seek(0)
        log.truncate()
        process = subprocess.Popen([exe, "-p", str(port)], cwd=directory, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_TIMEOUT
        while remaining(deadline) > 0 and process.poll() is None:
            if LISTENING_LINE in Path(log.name).read_text(errors="replace"):
                return process, port
            time.sleep(0.05)
        stop_relay(process)
    raise RuntimeError("the relay did not start listening")


def stop_relay(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(STOP_TIMEOUT)
            return None
    return process.returncode


def growth_verdict(rows, seconds):
    """Per metric: the first and last windows' peaks and whether it grew."""
    load = [r for r in rows if r["phase"] == "load"]
    if not load:
        return {}, ["no samples under load"]
    t0 = load[0]["t"]
    warmup = min(60.0, seconds / 5)
    window = min(60.0, (seconds - warmup) / 3)
    first = [r for r in load if warmup <= r["t"] - t0 < warmup + window]
    last = [r for r in load if r["t"] - t0 >= seconds - window]
    figures, faults = {}, []
    if not first or not last:
        return figures, ["too few samples for the growth rule"]
    for metric, margin in MARGIN.items():
        peak_first = max(r[metric] for r in first)
        peak_last = max(r[metric] for r in last)
        limit = peak_first + margin(peak_first)
        figures[metric] = (peak_first, peak_last, limit)
        if peak_last > limit:
            faults.append(f"{metric} grew: last window peak {peak_last} above {limit:.0f} "
                          f"(first window peak {peak_first})")
    return figures, faults


def draw_chart(rows, seconds, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("python3-matplotlib is not installed: no chart (scripts/setup.sh --soak installs it)")
        return
    t = [r["t"] for r in rows]
    fig, axes = plt.subplots(4, 1, figsize=(10, 10), sharex=True)
    series = [("rss_kb", "resident memory (MiB)", 1 / 1024), ("sockets", "open sockets", 1),
              ("threads", "threads", 1)]
    for axis, (key, label, scale) in zip(axes, series):
        axis.plot(t, [r[key] * scale for r in rows], linewidth=1)
        axis.set_ylabel(label)
        axis.grid(True, alpha=0.3)
    rate = [0] + [(b["connections"] - a["connections"]) / max(1e-9, b["t"] - a["t"]) for a, b in zip(rows, rows[1:])]
    axes[3].plot(t, rate, linewidth=1, color="tab:green")
    axes[3].set_ylabel("connections / s")
    axes[3].set_xlabel("seconds since the relay started")
    axes[3].grid(True, alpha=0.3)
    load = [r["t"] for r in rows if r["phase"] == "load"]
    if load:
        warmup = min(60.0, seconds / 5)
        window = min(60.0, (seconds - warmup) / 3)
        for axis in axes:
            axis.axvspan(load[0], load[0] + warmup, color="grey", alpha=0.15)
            axis.axvspan(load[0] + warmup, load[0] + warmup + window, color="tab:blue", alpha=0.1)
            axis.axvspan(load[0] + seconds - window, load[0] + seconds, color="tab:orange", alpha=0.1)
    axes[0].set_title("relayhub soak: warm-up (grey), first window (blue), last window (orange)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--relay", default="build/relayhub", help="the relay executable")
    parser.add_argument("--seconds", type=float, default=600.0, help="time under load (default 600)")
    parser.add_argument("--out", default="build/soak", help="folder for the samples, chart and logs")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    if args.seconds < 10:
        sys.exit("--seconds: at least 10")
    exe = os.path.abspath(args.relay)
    source = Path(__file__).resolve().parents[2]
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    # A thread waiting for the interpreter lock must not miss the relay's
    # 500 ms detection wait: with two dozen client threads the default 5 ms
    # turn adds up.
    sys.setswitchinterval(0.001)

    with tempfile.TemporaryDirectory(prefix="relayhub-soak-") as directory:
        pem = Path(directory) / "relayhub.pem"
        subprocess.run(["bash", str(source / "scripts" / "make-cert.sh"), str(pem)], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.load_verify_locations(str(pem))
        with open(out / "relay.log", "w+b") as log:
            process, port = start_relay(exe, directory, log)
            try:
                verdict = run(process, port, context, args.seconds, seed, out)
            finally:
                code = stop_relay(process)
    if code != 0:
        verdict.append(f"the relay stopped with {code} instead of 0")
    summary = Path(out / "summary.txt").read_text()
    summary += "\nverdict: " + ("PASS" if not verdict else "FAIL\n  " + "\n  ".join(verdict)) + "\n"
    (out / "summary.txt").write_text(summary)
    print(summary, end="")
    sys.exit(0 if not verdict else 1)


def run(process, port, context, seconds, seed, out):
    soak = Soak(port, context)
    sampler = Sampler(process.pid, soak.stats)
    sampler.start()
    time.sleep(3.0)
    before = sampler.take()
    sampler.phase = "load"
    workers = [threading.Thread(target=soak.worker, args=(soak.good_session, seed + i), daemon=True)
               for i in range(GOOD_WORKERS)]
    workers += [threading.Thread(target=soak.worker, args=(soak.bad_session, seed + 1000 + i), daemon=True)
                for i in range(BAD_WORKERS)]
    started = time.monotonic()
    for w in workers:
        w.start()
    while remaining(started + seconds) > 0 and process.poll() is None:
        time.sleep(min(10.0, remaining(started + seconds)))
        row = sampler.rows[-1] if sampler.rows else {}
        print(f"{time.monotonic() - started:6.0f} s  connections {soak.stats.get('connections')}  records checked "
              f"{soak.stats.get('records_checked')}  rss {row.get('rss_kb')} kB  sockets {row.get('sockets')}  "
              f"threads {row.get('threads')}  faults {len(soak.stats.errors)}", flush=True)
    sampler.phase = "leaving"
    soak.stop.set()
    for w in workers:
        w.join(HANDSHAKE_TIMEOUT + LEAVE_TIMEOUT + 30)
    verdict = []
    if any(w.is_alive() for w in workers):
        verdict.append("clients still running after the stop")
    if process.poll() is not None:
        verdict.append(f"the relay exited during the run with {process.returncode}")

    sampler.phase = "idle-after"
    deadline = time.monotonic() + SETTLE_TIMEOUT
    after = sampler.take()
    while after and idle_level(after) != idle_level(before) and remaining(deadline):
        time.sleep(1.0)
        after = sampler.take()
    sampler.done.set()
    sampler.join()
    rows = sampler.snapshot()

    with open(out / "samples.csv", "w", newline="") as f:
        fields = ["t", "phase", "rss_kb", "sockets", "other_fds", "threads", "connections", "records_checked",
                  "messages_sent", "faults"]
        writer = csv.DictWriter(f, fieldnames=fields)
        writer.writeheader()
        writer.writerows(rows)
    draw_chart(rows, seconds, out / "soak.png")

    figures, growth = growth_verdict(rows, seconds)
    verdict += growth
    if not after or idle_level(after) != idle_level(before):
        verdict.append(f"idle after the run: sockets, other descriptors, threads {after and idle_level(after)}; "
                       f"before: {idle_level(before)}")
    most = max(r["sockets"] for r in rows)
    if most > MAX_SOCKETS:
        verdict.append(f"{most} sockets open at once, more than {MAX_SOCKETS}")
    verdict += [f"well-behaved client: {e}" for e in soak.stats.errors[:20]]

    counts = soak.stats.counts
    lines = [f"seed {seed}, {seconds:.0f} s under load, relay on port {port}",
             f"connections {counts.get('connections', 0)} (well-behaved "
             + ", ".join(f"{k} {counts.get('good_' + k, 0)}" for k in peers.KINDS)
             + f"; misbehaving sessions {counts.get('misbehaving', 0)})",
             f"messages sent by well-behaved senders {counts.get('messages_sent', 0)}, "
             f"records checked by receivers {counts.get('records_checked', 0)}",
             f"faults seen by well-behaved clients {len(soak.stats.errors)}",
             f"clients that withdrew, starved of the processor for {peers.LATE * 1000:.0f} ms while opening: "
             f"{counts.get('late', 0)} well-behaved, {counts.get('late_misbehaving', 0)} misbehaving",
             f"idle before: rss {before['rss_kb']} kB, sockets {before['sockets']}, other descriptors "
             f"{before['other_fds']}, threads {before['threads']}",
             f"idle after:  rss {after and after['rss_kb']} kB, sockets {after and after['sockets']}, other descriptors "
             f"{after and after['other_fds']}, threads {after and after['threads']}",
             f"most sockets at once {max(r['sockets'] for r in rows)}"]
    for metric, (first, last, limit) in figures.items():
        lines.append(f"{metric}: first window peak {first}, last window peak {last}, limit {limit:.0f}")
    (out / "summary.txt").write_text("\n".join(lines) + "\n")
    return verdict


if __name__ == "__main__":
    main()
