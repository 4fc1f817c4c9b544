"""relayhub.exe under Wine with Linux clients: raw TCP, TLS, WebSocket and
WebSocket over TLS relay to each other through it, then it stops cleanly.

Usage: smoke_test.py RELAYHUB_EXE (Wine's server already running)."""

import asyncio
import re
import signal
import ssl
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import websockets

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import relay_harness  # noqa: E402

TIMEOUT = 20.0
EXE = SOURCE_DIR = None


class WineRelay(relay_harness.Relay):
    """The relay started through Wine; stopped with Ctrl-C, which Wine hands
    to the program's console handler as on Windows."""

    def _launch(self):
        self._out = self._err = ""
        self.process = subprocess.Popen(["wine", self.exe, "-p", str(self.port)], cwd=self.directory,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self._pumps = [relay_harness.threading.Thread(target=self._pump, args=(self.process.stdout, "_out"),
                                                      daemon=True),
                       relay_harness.threading.Thread(target=self._pump, args=(self.process.stderr, "_err"),
                                                      daemon=True)]
        for pump in self._pumps:
            pump.start()

    def interrupt(self):
        """Ctrl-C, then the exit code; None when it had to be killed."""
        self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            return None


def unverified_tls():
    # The certificate is self-signed and made for this run.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


async def within(awaitable):
    return await asyncio.wait_for(awaitable, TIMEOUT)


class Stream:
    """A raw or TLS client: what one sends arrives byte for byte."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    def local_port(self):
        return self.writer.get_extra_info("sockname")[1]

    async def send(self, text):
        self.writer.write(text.encode())
        await within(self.writer.drain())

    async def receive(self, size):
        return (await within(self.reader.readexactly(size))).decode()

    async def close(self):
        self.writer.close()
        try:
            await within(self.writer.wait_closed())
        except (OSError, asyncio.TimeoutError):
            pass


class Socket:
    """A WebSocket client: each payload arrives as one text message."""

    def __init__(self, connection):
        self.connection = connection

    def local_port(self):
        return self.connection.local_address[1]

    async def send(self, text):
        await within(self.connection.send(text))

    async def receive(self, size):
        message = await within(self.connection.recv())
        assert len(message) == size, message
        return message

    async def close(self):
        await within(self.connection.close())


class WineSmokeTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.workdir = Path(tempfile.mkdtemp(prefix="relayhub-wine-"))
        relay_harness.make_certificate(SOURCE_DIR, self.workdir)
        self.relay = WineRelay(EXE, self.workdir)
        # Wine starts the program more slowly than Linux does.
        relay_harness.START_TIMEOUT = TIMEOUT
        await asyncio.to_thread(self.relay.start)

    async def asyncTearDown(self):
        if self.relay.process is not None:
            self.relay.stop()

    async def join(self, word):
        port = self.relay.port
        if word in ("RAW", "TLS"):
            tls = unverified_tls() if word == "TLS" else None
            client = Stream(*await within(asyncio.open_connection("127.0.0.1", port, ssl=tls)))
        else:
            scheme, tls = ("wss", unverified_tls()) if word == "WSS" else ("ws", None)
            client = Socket(await within(websockets.connect(f"{scheme}://127.0.0.1:{port}/", ssl=tls,
                                                            ping_interval=None, compression=None,
                                                            open_timeout=TIMEOUT)))
        # One client at a time: the protocol word is printed only while no
        # other connection starts. The console stream is in text mode, so a
        # line ends in CR LF.
        set_up = re.compile(rf"SYN from 127\.0\.0\.1:{client.local_port()}  [^\n]*{word}\r\n")
        ok = await asyncio.to_thread(self.relay.wait_for, lambda out: set_up.search(out) is not None, TIMEOUT)
        self.assertTrue(ok, f"{word} client not set up\n" + self.relay.console())
        return client

    async def test_four_protocols_relay_to_each_other_then_ctrl_c_ends_it(self):
        words = ["RAW", "TLS", "WS", "WSS"]
        clients = {word: await self.join(word) for word in words}
        for sender in words:
            text = f"from {sender.lower()} through wine"
            await clients[sender].send(text)
            for receiver in words:
                if receiver != sender:
                    got = await clients[receiver].receive(len(text))
                    self.assertEqual(got, text, f"{sender} -> {receiver}")
        for client in clients.values():
            await client.close()
        ended = await asyncio.to_thread(self.relay.wait_output, ".fin", TIMEOUT, len(words))
        self.assertTrue(ended, self.relay.console())
        code = await asyncio.to_thread(self.relay.interrupt)
        self.assertEqual(code, 0, self.relay.console())


if __name__ == "__main__":
    EXE, SOURCE_DIR = relay_harness.relay_paths(sys.argv)
    unittest.main()
