"""The relay as an operator gets it: the installed tree with its man page,
service unit and certificate helper, and the Debian package, installed into
a temporary root and run for one raw exchange."""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from relay_harness import Relay, remaining  # noqa: E402

STEP_TIMEOUT = 120.0
EXCHANGE_TIMEOUT = 10.0

EXE = os.environ.get("RELAYHUB_EXE", "")
BUILD_DIR = Path(os.environ.get("RELAYHUB_BUILD_DIR", "."))
VERSION = os.environ.get("RELAYHUB_VERSION", "")
PREFIX = os.environ.get("RELAYHUB_PREFIX", "/usr")
CONFDIR = os.environ.get("RELAYHUB_CONFDIR", "/etc")


def run(command, env=None, cwd=None):
    return subprocess.run(command, capture_output=True, text=True, timeout=STEP_TIMEOUT,
                          env=None if env is None else {**os.environ, **env}, cwd=cwd)


def under(root, path):
    return Path(str(root) + path)


def installed_files(root):
    """Every file the install puts down, with whether it must be executable."""
    return [
        (under(root, f"{PREFIX}/bin/relayhub"), True),
        (under(root, f"{PREFIX}/bin/relayhub-make-cert"), True),
        (under(root, f"{PREFIX}/share/man/man1/relayhub.1"), False),
        (under(root, f"{PREFIX}/lib/systemd/system/relayhub.service"), False),
        (under(root, f"{PREFIX}/share/doc/relayhub/examples/chat.html"), False),
        (under(root, f"{CONFDIR}/default/relayhub"), False),
    ]


def unit_settings(unit_file):
    settings = {}
    for line in unit_file.read_text().splitlines():
        key, sep, value = line.partition("=")
        if sep and not line.startswith("#"):
            settings[key] = value
    return settings


def read_until(client, text, deadline):
    received = b""
    while text not in received:
        client.settimeout(max(0.01, remaining(deadline)))
        chunk = client.recv(4096)
        if not chunk:
            break
        received += chunk
    return received


class Installed(unittest.TestCase):
    """cmake --install into a DESTDIR, as make install does."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="relayhub-install-")
        cls.root = Path(cls.tmp) / "root"
        result = run(["cmake", "--install", str(BUILD_DIR)], env={"DESTDIR": str(cls.root)})
        if result.returncode != 0:
            raise RuntimeError("install failed:\n" + result.stdout + result.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_every_file_is_installed(self):
        for path, executable in installed_files(self.root):
            with self.subTest(path=str(path)):
                self.assertTrue(path.is_file())
                self.assertEqual(os.access(path, os.X_OK), executable)
        self.assertTrue(under(self.root, f"{CONFDIR}/relayhub").is_dir())

    def test_version_of_build_and_installed_executable(self):
        for exe in (EXE, str(under(self.root, f"{PREFIX}/bin/relayhub"))):
            with self.subTest(exe=exe):
                result = run([exe, "--version"])
                self.assertEqual((result.returncode, result.stdout), (0, f"relayhub {VERSION}\n"))

    def test_man_page_renders_without_warnings(self):
        page = under(self.root, f"{PREFIX}/share/man/man1/relayhub.1")
        result = run(["man", "--warnings", "-E", "UTF-8", "-l", str(page)],
                     env={"MANWIDTH": "80", "LC_ALL": "C.UTF-8"})
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        for section in ("SYNOPSIS", "OPTIONS", "PROTOCOLS", "CERTIFICATES", "CONSOLE", "SIGNALS", "EXIT STATUS",
                        "EXAMPLES", "FILES", "SEE ALSO"):
            self.assertRegex(result.stdout, rf"(?m)^{section}$")

    def test_unit_points_at_installed_files_and_verifies(self):
        unit = under(self.root, f"{PREFIX}/lib/systemd/system/relayhub.service")
        settings = unit_settings(unit)
        binary = settings["ExecStart"].split()[0]
        self.assertTrue(under(self.root, binary).is_file(), binary)
        self.assertTrue(under(self.root, settings["EnvironmentFile"].lstrip("-")).is_file())
        self.assertTrue(under(self.root, settings["WorkingDirectory"]).is_dir())
        self.assertIn("RELAYHUB_ARGS=", under(self.root, f"{CONFDIR}/default/relayhub").read_text())

        # systemd-analyze looks for the executable and the man page on this
        # host, so the copy it checks names them inside the temporary root.
        checked = Path(self.tmp) / "relayhub.service"
        checked.write_text(unit.read_text().replace(f"ExecStart={binary}", f"ExecStart={under(self.root, binary)}"))
        result = run(["systemd-analyze", "verify", str(checked)],
                     env={"MANPATH": str(under(self.root, f"{PREFIX}/share/man"))})
        # Bad settings are only warned about, with exit code 0.
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_certificate_helper_writes_once(self):
        helper = str(under(self.root, f"{PREFIX}/bin/relayhub-make-cert"))
        pem = Path(self.tmp) / "relayhub.pem"
        self.assertEqual(run([helper, str(pem)]).returncode, 0)
        written = pem.read_text()
        self.assertIn("BEGIN CERTIFICATE", written)
        self.assertIn("PRIVATE KEY", written)
        self.assertNotEqual(run([helper, str(pem)]).returncode, 0)
        self.assertEqual(pem.read_text(), written)


class DebianPackage(unittest.TestCase):
    """The package that make deb builds, unpacked with dpkg -x."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="relayhub-deb-"))
        result = run(["cpack", "-G", "DEB", "--config", str(BUILD_DIR / "CPackConfig.cmake"), "-B", str(cls.tmp)])
        packages = list(cls.tmp.glob("relayhub_*.deb"))
        if result.returncode != 0 or len(packages) != 1:
            raise RuntimeError("cpack failed:\n" + result.stdout + result.stderr)
        cls.deb = str(packages[0])
        cls.root = cls.tmp / "root"
        result = run(["dpkg", "-x", cls.deb, str(cls.root)])
        if result.returncode != 0:
            raise RuntimeError("dpkg -x failed:\n" + result.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "relayhub")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertRegex(self.field("Depends"), r"(^|, )libssl3\b")
        self.assertRegex(self.field("Depends"), r"(^|, )libc6\b")

    def test_defaults_file_is_a_conffile(self):
        control = self.tmp / "control"
        self.assertEqual(run(["dpkg-deb", "-e", self.deb, str(control)]).returncode, 0)
        self.assertEqual((control / "conffiles").read_text().split(), [f"{CONFDIR}/default/relayhub"])

    def test_carries_every_installed_file(self):
        for path, executable in installed_files(self.root):
            with self.subTest(path=str(path)):
                self.assertTrue(path.is_file())
                self.assertEqual(os.access(path, os.X_OK), executable)

    def test_installed_relay_relays_a_line_each_way(self):
        workdir = self.tmp / "work"
        workdir.mkdir()
        relay = Relay(str(under(self.root, f"{PREFIX}/bin/relayhub")), workdir)
        relay.start()
        try:
            first = socket.create_connection(("127.0.0.1", relay.port), timeout=EXCHANGE_TIMEOUT)
            self.assertTrue(relay.wait_raw_set_up(first.getsockname()[1]), relay.console())
            # The relay reads a client only once it is set up, so the first
            # client receiving this line shows the second one set up too.
            second = socket.create_connection(("127.0.0.1", relay.port), timeout=EXCHANGE_TIMEOUT)
            deadline = time.monotonic() + EXCHANGE_TIMEOUT
            second.sendall(b"from the second\n")
            self.assertEqual(read_until(first, b"\n", deadline), b"from the second\n")
            first.sendall(b"from the first\n")
            self.assertEqual(read_until(second, b"\n", deadline), b"from the first\n")
            first.close()
            second.close()
        finally:
            code = relay.stop()
        self.assertEqual(code, 0, relay.console())


if __name__ == "__main__":
    if not EXE or not VERSION:
        sys.exit("RELAYHUB_EXE, RELAYHUB_BUILD_DIR, RELAYHUB_VERSION, RELAYHUB_PREFIX and RELAYHUB_CONFDIR are needed")
    unittest.main(verbosity=2)
