"""relayhub.exe under Wine with Linux clients: raw TCP, TLS, WebSocket and
WebSocket over TLS relay to each other through it, then it stops cleanly.

Usage: smoke_test.py RELAYHUB_EXE (Wine's server already running)."""

import asyncio
import contextlib
import re
import shutil
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

    async def wait_ended(self):
        """Returns once the relay has ended the connection."""
        try:
            await within(self.reader.read())
        except (ConnectionError, ssl.SSLError):
            pass

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

    async def wait_ended(self):
        async def drain():
            try:
                async for _ in self.connection:
                    pass
            except websockets.ConnectionClosed:
                pass

        await within(drain())

    async def close(self):
        await within(self.connection.close())


class WineSmokeTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.workdir = Path(tempfile.mkdtemp(prefix="relayhub-wine-"))
        self.addCleanup(shutil.rmtree, self.workdir, True)
        relay_harness.make_certificate(SOURCE_DIR, self.workdir)
        self.relay = WineRelay(EXE, self.workdir)
        # Wine starts the program more slowly than Linux does.
        relay_harness.START_TIMEOUT = TIMEOUT
        await asyncio.to_thread(self.relay.start)

    async def asyncTearDown(self):
        if self.relay.process is not None:
            self.relay.stop()

    @contextlib.asynccontextmanager
    async def console_on_failure(self):
        """Any failure inside carries the relay's whole console, read once the
        relay has stopped so that its last lines are in."""
        try:
            yield
        except Exception as error:
            await asyncio.to_thread(self.relay.stop)
            raise AssertionError(f"{error!r}\n{self.relay.console()}") from error

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
        self.assertTrue(ok, f"{word} client not set up")
        return client

    async def greet(self, word, client, earlier):
        """The relay prints the protocol word just before the slot takes part
        in the relay, so a message sent at once can miss the new client. Only
        a hello reaching every earlier client shows that it is set up."""
        hello = f"hello from {word}"
        await client.send(hello)
        for other in earlier:
            self.assertEqual(await other.receive(len(hello)), hello, f"hello from {word}")

    async def test_four_protocols_relay_to_each_other_and_ctrl_c_ends_the_rest(self):
        words = ["RAW", "TLS", "WS", "WSS"]
        async with self.console_on_failure():
            clients = {}
            for word in words:
                client = await self.join(word)
                await self.greet(word, client, clients.values())
                clients[word] = client
            for sender in words:
                text = f"from {sender.lower()} through wine"
                await clients[sender].send(text)
                for receiver in words:
                    if receiver != sender:
                        got = await clients[receiver].receive(len(text))
                        self.assertEqual(got, text, f"{sender} -> {receiver}")
            for word in ["RAW", "WSS"]:
                await clients[word].close()
            ended = await asyncio.to_thread(self.relay.wait_output, ".fin", TIMEOUT, 2)
            self.assertTrue(ended, "closed connections not ended")
            # Ctrl-C ends the rest with their readers blocked, among them one
            # whose client has sent nothing, which Wine's shutdown alone does
            # not wake. Messages from another client until one reaches it show
            # that its slot takes part in the relay.
            idle = await self.join("RAW")
            for _ in range(int(TIMEOUT / 0.5)):
                await clients["TLS"].send("ping")
                with contextlib.suppress(asyncio.TimeoutError):
                    if await asyncio.wait_for(idle.reader.read(4), 0.5):
                        break
            else:
                self.fail("the idle client was never set up")
            code = await asyncio.to_thread(self.relay.interrupt)
            self.assertEqual(code, 0, "Ctrl-C with clients connected")
            for client in [clients["TLS"], clients["WS"], idle]:
                await client.wait_ended()
            if "!!" in self.relay.console():
                self.fail("a connection reported an error at the stop")


if __name__ == "__main__":
    EXE, SOURCE_DIR = relay_harness.relay_paths(sys.argv)
    unittest.main()
