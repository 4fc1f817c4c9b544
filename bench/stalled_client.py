"""Measures how long a client that stops reading holds the hub: one raw
source streams, one raw client never reads, one raw client reads everything.
Prints the time from the moment the reader stops getting data (the stalled
client's buffers are full and the hub waits on it) to the moment it gets data
again (the stalled client's connection was ended). Usage:
  stalled_client.py RELAY_EXECUTABLE [LIMIT_SECONDS]"""

import os
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from relay_harness import Relay  # noqa: E402

CHUNK = b"0123456789abcdef" * 256


def connect(port, receive_buffer=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.connect(("127.0.0.1", port))
    return s


def main():
    exe = os.path.abspath(sys.argv[1])
    limit = float(sys.argv[2]) if len(sys.argv) > 2 else 180.0
    with tempfile.TemporaryDirectory() as directory:
        relay = Relay(exe, directory)
        relay.start()
        reader = connect(relay.port)
        stalled = connect(relay.port, receive_buffer=4096)
        source = connect(relay.port)
        time.sleep(1.5)  # silent clients are set up after the detection time

        stop = threading.Event()

        def stream():
            source.settimeout(1.0)
            while not stop.is_set():
                try:
                    source.sendall(CHUNK)
                except socket.timeout:
                    continue
                except OSError:
                    return

        threading.Thread(target=stream, daemon=True).start()
        reader.settimeout(0.5)
        deadline = time.monotonic() + limit
        last_data = time.monotonic()
        longest_gap = 0.0
        resumed_after = None
        while time.monotonic() < deadline:
            try:
                got = reader.recv(65536)
            except socket.timeout:
                continue
            if not got:
                break
            now = time.monotonic()
            gap = now - last_data
            last_data = now
            if gap > longest_gap:
                longest_gap = gap
            if gap > 5.0:
                resumed_after = gap
                break
        stop.set()
        code = relay.stop()
        for s in (reader, stalled, source):
            s.close()
    if resumed_after is None:
        print(f"the reader did not resume within {limit:.0f} s (longest gap {longest_gap:.1f} s)")
        return 1
    print(f"stall to resume: {resumed_after:.1f} s (relay exit code {code})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
