"""The example chat page in headless Chromium talks to a raw TCP client and
to a Python websockets client through the real relay, over ws:// and wss://."""

import asyncio
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from urllib.parse import urlencode

import websockets

# The shared harness sits beside this file; no bytecode cache in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import relay_harness  # noqa: E402
from relay_harness import Relay, remaining  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--ignore-certificate-errors"]
# A cold browser start under load can take many seconds.
BROWSER_TIMEOUT = 60.0
EXCHANGE_TIMEOUT = 10.0

EXE = SOURCE_DIR = None


class RawClient:
    """A plain TCP client that keeps what it has received but not yet matched."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=EXCHANGE_TIMEOUT)
        self.pending = b""

    def local_port(self):
        return self.sock.getsockname()[1]

    def expect(self, wanted, timeout):
        """Reads until `wanted` has arrived; drops everything up to its end."""
        deadline = time.monotonic() + timeout
        while wanted not in self.pending:
            left = remaining(deadline)
            if left == 0:
                raise AssertionError(f"raw client did not receive {wanted!r}; it got {self.pending!r}")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                raise AssertionError(f"relay closed the raw connection before {wanted!r}; got {self.pending!r}")
            self.pending += chunk
        self.pending = self.pending[self.pending.index(wanted) + len(wanted):]

    def close(self):
        self.sock.close()


class Browser:
    """Headless Chromium on one page, in its own process group so that its
    helper processes end with it."""

    def __init__(self, url, profile, log_path):
        self.log = open(log_path, "wb")
        self.process = subprocess.Popen([CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", url],
                                        stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
                                        start_new_session=True)

    def close(self):
        if self.log.closed:
            return
        group = self.process.pid
        try:
            os.killpg(group, signal.SIGTERM)
            self.process.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
        # Helpers that outlive the main process still hold the group.
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(10)
        self.log.close()


class BrowserChatTest(unittest.TestCase):
    def setUp(self):
        self.workdir = Path(tempfile.mkdtemp(prefix="relayhub-browser-"))
        self.addCleanup(shutil.rmtree, self.workdir, ignore_errors=True)
        relay_harness.make_certificate(SOURCE_DIR, self.workdir)
        self.relay = Relay(EXE, self.workdir)
        self.relay.start()
        self.addCleanup(self.stop_relay)

    def stop_relay(self):
        code = self.relay.stop()
        self.assertEqual(code, 0, "relay did not stop cleanly on SIGTERM\n" + self.relay.console())

    def open_page(self, scheme, name):
        page = SOURCE_DIR / "examples" / "chat.html"
        query = urlencode({"relay": f"{scheme}://127.0.0.1:{self.relay.port}", "auto": name})
        profile = self.workdir / f"profile-{name}"
        browser = Browser(f"{page.as_uri()}?{query}", profile, self.workdir / f"chromium-{name}.log")
        self.addCleanup(browser.close)
        return browser

    def fail_with_logs(self, error, name):
        log = (self.workdir / f"chromium-{name}.log").read_text(errors="replace")[-4000:]
        raise AssertionError(f"{error}\n{self.relay.console()}\n--- chromium ---\n{log}") from None

    def test_page_chats_with_raw_client_over_ws_and_wss(self):
        raw = RawClient(self.relay.port)
        self.addCleanup(raw.close)
        # Only the relay's console tells when a silent raw client is set up.
        self.assertTrue(self.relay.wait_raw_set_up(raw.local_port()),
                        "raw client was not set up\n" + self.relay.console())

        for scheme in ("ws", "wss"):
            with self.subTest(scheme=scheme):
                browser = self.open_page(scheme, scheme)
                try:
                    raw.expect(f"hello from {scheme}".encode(), BROWSER_TIMEOUT)
                    line = f"hello from raw to {scheme}\n"
                    raw.sock.sendall(line.encode())
                    raw.expect(f"{scheme} got: {line}".encode(), EXCHANGE_TIMEOUT)
                except AssertionError as error:
                    self.fail_with_logs(error, scheme)
                finally:
                    browser.close()
                # The next page must not find this one still in the hub.
                ends = 1 if scheme == "ws" else 2
                self.assertTrue(self.relay.wait_output(".fin", EXCHANGE_TIMEOUT, count=ends),
                                f"relay did not end the {scheme} page's connection\n" + self.relay.console())

    def test_page_exchanges_one_large_message_each_way(self):
        # Text longer than many receives, with characters of every UTF-8
        # length, so that pieces end inside characters.
        large = ("a\u00e9\u20ac\U0001F600" * 10000)[:100000]
        for scheme in ("ws", "wss"):
            with self.subTest(scheme=scheme):
                try:
                    asyncio.run(self.exchange_large(scheme, large))
                except (AssertionError, asyncio.TimeoutError, OSError) as error:
                    self.fail_with_logs(repr(error)[:2000], f"large-{scheme}")

    async def exchange_large(self, scheme, large):
        """The page answers each message with `<name> got: <message>`: the
        client's large message reaches it whole, and its answer, larger
        still, comes back as one message."""
        name = f"large-{scheme}"
        context = None
        if scheme == "wss":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        client = await websockets.connect(f"{scheme}://127.0.0.1:{self.relay.port}/", ssl=context,
                                          open_timeout=EXCHANGE_TIMEOUT, max_size=None)
        browser = self.open_page(scheme, name)
        try:
            deadline = time.monotonic() + BROWSER_TIMEOUT
            greeting = f"hello from {name}"
            while await asyncio.wait_for(client.recv(), remaining(deadline)) != greeting:
                pass
            await client.send(large)
            answer = await asyncio.wait_for(client.recv(), EXCHANGE_TIMEOUT)
            self.assertEqual(answer, f"{name} got: {large}")
        finally:
            await client.close()
            browser.close()


if __name__ == "__main__":
    EXE, SOURCE_DIR = relay_harness.relay_paths(sys.argv)
    unittest.main(verbosity=2)
