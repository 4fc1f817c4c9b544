"""Runs the real relay for the end-to-end tests: a free port, a working
directory with a self-signed certificate, captured console output and a
bounded stop."""

import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

# A raw client that sends nothing is set up after two 500 ms detection
# time-outs; this bound leaves room for slow (sanitizer) builds.
RAW_SETUP_TIMEOUT = 10.0
START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0
LISTENING_LINE = ":: waiting for client connection..."


def relay_paths(argv):
    """The relay executable (first argument or RELAYHUB_EXE) and the source
    tree (RELAYHUB_SOURCE_DIR, else the checkout this file lives in). Removes
    the executable from argv so that unittest sees only its own options."""
    exe = os.environ.get("RELAYHUB_EXE", "")
    if len(argv) > 1 and not argv[1].startswith("-"):
        exe = argv.pop(1)
    if not exe or not os.access(exe, os.X_OK):
        sys.exit(f"relay executable not found: {exe!r} (pass it as the first argument or in RELAYHUB_EXE)")
    source = os.environ.get("RELAYHUB_SOURCE_DIR") or str(Path(__file__).resolve().parents[2])
    # The relay runs in a temporary directory, so a relative path would miss.
    return os.path.abspath(exe), Path(source)


def make_certificate(source_dir, directory):
    """Writes relayhub.pem into directory with the project's own script."""
    subprocess.run(["bash", str(source_dir / "scripts" / "make-cert.sh"), str(directory / "relayhub.pem")],
                   check=True, stdout=subprocess.DEVNULL, timeout=60)


def unverified_tls():
    """A client context for the relay's self-signed certificate, made for the run."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Relay:
    """One relay process listening on a free port, started in `directory`;
    `args` go on its command line after the port (e.g. ["-L", "1472"])."""

    def __init__(self, exe, directory, args=()):
        self.exe = exe
        self.directory = directory
        self.args = [str(arg) for arg in args]
        self.port = 0
        self.process = None
        self._out = ""
        self._err = ""
        self._changed = threading.Condition()
        self._pumps = []

    def start(self):
        # The free port can be taken again before the relay binds it; a new
        # port is tried then.
        for _ in range(5):
            self.port = free_port()
            self._launch()
            if self.wait_output(LISTENING_LINE, START_TIMEOUT):
                return
            self.stop()
        raise RuntimeError("relay did not start listening:\n" + self.console())

    def _launch(self):
        self._out = self._err = ""
        self.process = subprocess.Popen([self.exe, "-p", str(self.port), *self.args], cwd=self.directory,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self._pumps = [threading.Thread(target=self._pump, args=(self.process.stdout, "_out"), daemon=True),
                       threading.Thread(target=self._pump, args=(self.process.stderr, "_err"), daemon=True)]
        for pump in self._pumps:
            pump.start()

    def _pump(self, stream, field):
        for chunk in iter(lambda: stream.read1(4096), b""):
            with self._changed:
                setattr(self, field, getattr(self, field) + chunk.decode("utf-8", "replace"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def wait_for(self, predicate, timeout):
        """Waits until predicate(stdout text) holds or the relay has exited."""
        with self._changed:
            return self._changed.wait_for(
                lambda: predicate(self._out) or self.process.poll() is not None, timeout) and predicate(self._out)

    def wait_output(self, text, timeout, count=1):
        return self.wait_for(lambda out: out.count(text) >= count, timeout)

    def wait_raw_set_up(self, client_port):
        """Waits for the console to show the raw client from client_port set up.
        The protocol word is printed only while no other connection starts or
        ends, so the raw client has to be the only one in progress."""
        return self.wait_set_up(client_port, "RAW")

    def wait_set_up(self, client_port, word):
        """As wait_raw_set_up, for the client set up as `word` (RAW, TLS, WS, WSS)."""
        pattern = re.compile(rf"SYN from 127\.0\.0\.1:{client_port}  [^\n]*{word}\n")
        return self.wait_for(lambda out: pattern.search(out) is not None, RAW_SETUP_TIMEOUT)

    def console(self):
        with self._changed:
            return f"--- stdout ---\n{self._out}\n--- stderr ---\n{self._err}"

    def stop(self):
        """SIGTERM, then the exit code; None when it had to be killed."""
        if self.process is None:
            return None
        code = self.process.poll()
        if code is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(STOP_TIMEOUT)
                code = None
        for pump in self._pumps:
            pump.join(STOP_TIMEOUT)
        self.process.stdout.close()
        self.process.stderr.close()
        self.process = None
        return code


def remaining(deadline):
    """Seconds left until a time.monotonic() deadline, never below zero."""
    return max(0.0, deadline - time.monotonic())
