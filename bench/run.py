"""Fan-out benchmark: relayhub side by side with `ncat --broker` (raw and
TLS) and a node `ws` broadcast hub (WS and WSS), all on loopback, driven by
the same load generator (relay_load). Writes BENCHMARKS.md and its chart.

  run.py --relay build/relayhub --load build/bench/relay_load [--runs 3] [--seconds 1.5]

Every hub runs for the whole matrix and serves each of its cases in turn;
every case runs `runs` times, interleaved, and the figures are the medians."""

import argparse
import datetime
import json
import os
import platform
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from report import LIGHT, PROTOCOLS, RECEIVER_COUNTS, SIZES, write_chart, write_report

SOURCE = Path(__file__).resolve().parents[1]
HUB_SCRIPT = SOURCE / "bench" / "ws_hub.js"
DEBIAN_NODE_MODULES = "/usr/share/nodejs"

LARGE_PACKET_LENGTH = 65507
WARMUP_SECONDS = 0.3
# The sender stays at most this far ahead of the slowest receiver: enough to
# keep every hub busy, little enough that a hub which queues without limit
# (node's) does not grow for the whole run.
WINDOW_BYTES = 256 << 10
# relayhub raises its own priority (nice -10 when it may); the peers and the
# load generator get the same, so no program has the CPU before another and
# other work on the machine disturbs the figures less.
NICE = -10

# make bench must end within 15 minutes, building included: a repetition
# that would end past this is not started, and the medians take fewer runs.
MATRIX_BUDGET = 11 * 60.0
START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0
# Setting up (at most 15 s), the run, and draining (at most 15 s).
RUN_TIMEOUT_SLACK = 40.0
RSS_SAMPLE_INTERVAL = 0.5
LISTENING_LINE = ":: waiting for client connection..."


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def lower_niceness():
    """Runs in the child before exec; without the right to it, nothing changes."""
    try:
        os.setpriority(os.PRIO_PROCESS, 0, NICE)
    except OSError:
        pass


def vm_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class Hub:
    """One hub process on loopback: its name in the report, the protocols it
    serves, and the port for each."""

    def __init__(self, name, protocols, directory):
        self.name = name
        self.protocols = protocols
        self.directory = directory
        self.ports = {}
        self.process = None
        self.rss = []
        # The resident size after each repetition of the matrix.
        self.rss_marks = []
        self.log = None

    def start(self):
        for _ in range(5):
            self.log = open(self.directory / f"{self.key()}.log", "w+b")
            argv, ports = self.command()
            self.process = subprocess.Popen(argv, cwd=self.directory, stdin=subprocess.DEVNULL, stdout=self.log,
                                            stderr=subprocess.STDOUT, preexec_fn=lower_niceness)
            self.ports = ports
            if self.wait_ready(time.monotonic() + START_TIMEOUT):
                return
            self.stop()
        raise RuntimeError(f"{self.name} did not start: {self.log_text()}")

    def key(self):
        return re.sub(r"[^a-z0-9]+", "_", self.name.lower())

    def log_text(self):
        if self.log is None or self.log.closed:
            return ""
        self.log.seek(0)
        return self.log.read()[-2000:].decode("utf-8", "replace")

    def sample_rss(self):
        if self.process is not None and self.process.poll() is None:
            kib = vm_rss_kib(self.process.pid)
            if kib is not None:
                self.rss.append(kib)

    def mark_rss(self):
        kib = vm_rss_kib(self.process.pid) if self.process is not None else None
        if kib is not None:
            self.rss_marks.append(kib)

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
                try:
                    self.process.wait(STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait(STOP_TIMEOUT)
            self.process = None
        if self.log is not None:
            self.log.close()


class Relayhub(Hub):
    def __init__(self, exe, packet_length, directory):
        name = "relayhub" if packet_length is None else f"relayhub -L {packet_length}"
        super().__init__(name, PROTOCOLS, directory)
        self.exe = exe
        self.packet_length = packet_length

    def command(self):
        port = free_port()
        argv = [self.exe, "-p", str(port)]
        if self.packet_length is not None:
            argv += ["-L", str(self.packet_length)]
        return argv, {protocol: port for protocol in PROTOCOLS}

    def wait_ready(self, deadline):
        while time.monotonic() < deadline and self.process.poll() is None:
            if LISTENING_LINE in self.log_text():
                return True
            time.sleep(0.05)
        return False


class Ncat(Hub):
    def __init__(self, protocol, pem, directory):
        super().__init__("ncat --broker" + (" --ssl" if protocol == "tls" else ""), (protocol,), directory)
        self.protocol = protocol
        self.pem = pem

    def command(self):
        port = free_port()
        argv = ["ncat", "--broker", "--listen", "127.0.0.1", str(port)]
        if self.protocol == "tls":
            argv += ["--ssl", "--ssl-cert", str(self.pem), "--ssl-key", str(self.pem)]
        return argv, {self.protocol: port}

    def wait_ready(self, deadline):
        port = self.ports[self.protocol]
        while time.monotonic() < deadline and self.process.poll() is None:
            if f"{port:04X} 00000000:0000 0A" in Path("/proc/net/tcp").read_text():
                return True
            time.sleep(0.05)
        return False


class NodeHub(Hub):
    def __init__(self, node, pem, directory):
        super().__init__("node ws hub", ("ws", "wss"), directory)
        self.node = node
        self.pem = pem

    def command(self):
        return [self.node, str(HUB_SCRIPT), str(self.pem)], {}

    def wait_ready(self, deadline):
        while time.monotonic() < deadline and self.process.poll() is None:
            found = dict(re.findall(r"^(wss?) (\d+)$", self.log_text(), re.M))
            if len(found) == 2:
                self.ports = {protocol: int(port) for protocol, port in found.items()}
                return True
            time.sleep(0.05)
        return False


class RssSampler(threading.Thread):
    """Samples every hub's resident size while the matrix runs."""

    def __init__(self, hubs):
        super().__init__(daemon=True)
        self.hubs = hubs
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.wait(RSS_SAMPLE_INTERVAL):
            for hub in self.hubs:
                hub.sample_rss()


def cases():
    """(protocol, receivers, size, rate) of every case; rate 0 is full load."""
    full = [(protocol, receivers, size, 0) for protocol in PROTOCOLS for receivers in RECEIVER_COUNTS
            for size in SIZES]
    light = [(protocol, *LIGHT) for protocol in PROTOCOLS]
    return full + light


def run_once(load, hub, case, seconds):
    protocol, receivers, size, rate = case
    argv = [load, "--protocol", protocol, "--port", str(hub.ports[protocol]), "--receivers", str(receivers),
            "--size", str(size), "--rate", str(rate), "--seconds", str(seconds), "--warmup", str(WARMUP_SECONDS),
            "--window", str(WINDOW_BYTES), "--relay-pid", str(hub.process.pid)]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=seconds + RUN_TIMEOUT_SLACK,
                              preexec_fn=lower_niceness)
    except subprocess.TimeoutExpired:
        return {"fault": "the load generator did not finish in time"}
    lines = done.stdout.strip().splitlines()
    if not lines:
        return {"fault": f"no result (exit {done.returncode}): {done.stderr.strip()}"}
    result = json.loads(lines[-1])
    if done.returncode != 0 and not result["fault"]:
        result["fault"] = f"exit {done.returncode}"
    return result


NUMERIC = ("messages_per_s", "mb_per_s", "p50_us", "p99_us", "relay_cpu", "load_cpu", "receiver_cpu")


def medians(results):
    good = [r for r in results if not r.get("fault")]
    summary = {"runs": len(results), "faults": [r["fault"] for r in results if r.get("fault")]}
    for field in NUMERIC:
        summary[field] = statistics.median(r[field] for r in good) if good else None
    summary["cipher"] = good[0]["cipher"] if good else ""
    return summary


def run_matrix(hubs, load, runs, seconds):
    """{(hub name, case): summary} and the repetitions done: every case run
    up to `runs` times, interleaved, within the time budget."""
    results = {}
    per_run = sum(len([h for h in hubs if case[0] in h.protocols]) for case in cases())
    started = time.monotonic()
    done = 0
    for repetition in range(runs):
        elapsed = time.monotonic() - started
        if repetition > 0 and elapsed + elapsed / repetition > MATRIX_BUDGET:
            print(f"time budget: {repetition} of {runs} repetitions", flush=True)
            break
        for case in cases():
            for hub in hubs:
                if case[0] not in hub.protocols:
                    continue
                result = run_once(load, hub, case, seconds)
                results.setdefault((hub.name, case), []).append(result)
                done += 1
                fault = f"  FAULT: {result['fault']}" if result.get("fault") else ""
                print(f"[{done}/{runs * per_run} {time.monotonic() - started:4.0f} s] {hub.name:20} {case[0]:3} "
                      f"N={case[1]:2} {case[2]:4} B {'full' if case[3] == 0 else f'{case[3]}/s':6} "
                      f"{result.get('messages_per_s', 0):>10.0f} msg/s{fault}", flush=True)
        for hub in hubs:
            hub.mark_rss()
    repetitions = max(len(values) for values in results.values())
    return {key: medians(values) for key, values in results.items()}, repetitions


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        memory_gib = int(meminfo.readline().split()[1]) / (1 << 20)
    return {"cores": os.cpu_count(), "cpu": model, "kernel": platform.release(), "memory_gib": memory_gib,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "load": os.getloadavg()[0]}


def versions(node):
    def first_line(argv):
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=10)
            return (done.stdout or done.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.TimeoutExpired):
            return "unknown"

    ws_version = first_line([node, "-e", f"console.log(require('{DEBIAN_NODE_MODULES}/ws/package.json').version)"])
    return {"ncat": first_line(["ncat", "--version"]), "node": first_line([node, "--version"]), "ws": ws_version,
            "openssl": first_line(["openssl", "version"])}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--relay", required=True)
    parser.add_argument("--load", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=1.5)
    parser.add_argument("--report", default=str(SOURCE / "BENCHMARKS.md"))
    parser.add_argument("--chart", default=str(SOURCE / "bench" / "chart.png"))
    args = parser.parse_args()
    relay = os.path.abspath(args.relay)
    load = os.path.abspath(args.load)
    node = "/usr/bin/node" if os.access("/usr/bin/node", os.X_OK) else "node"

    # SIGTERM ends the run like Ctrl+C, through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    before = machine()
    hubs = []
    sampler = None
    with tempfile.TemporaryDirectory(prefix="relayhub-bench-") as temp:
        directory = Path(temp)
        pem = directory / "relayhub.pem"
        subprocess.run(["bash", str(SOURCE / "scripts" / "make-cert.sh"), str(pem)], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        try:
            hubs = [Relayhub(relay, None, directory), Relayhub(relay, LARGE_PACKET_LENGTH, directory),
                    Ncat("raw", pem, directory), Ncat("tls", pem, directory), NodeHub(node, pem, directory)]
            for hub in hubs:
                hub.start()
                hub.sample_rss()
            sampler = RssSampler(hubs)
            sampler.start()
            summary, repetitions = run_matrix(hubs, load, args.runs, args.seconds)
            sampler.stopped.set()
            sampler.join()
            for hub in hubs:
                hub.sample_rss()
        finally:
            if sampler is not None:
                sampler.stopped.set()
            for hub in hubs:
                hub.stop()

    after = machine()
    memory = {hub.name: (hub.rss, hub.rss_marks) for hub in hubs}
    write_chart(summary, Path(args.chart))
    write_report(Path(args.report), Path(args.chart), summary, memory, before, after, versions(node),
                 {"runs": repetitions, "seconds": args.seconds, "warmup": WARMUP_SECONDS, "window": WINDOW_BYTES})
    faults = sorted({(name, case) for (name, case), s in summary.items() if s["faults"]})
    for name, case in faults:
        print(f"FAULT {name} {case}: {summary[(name, case)]['faults']}", file=sys.stderr)
    print(f"wrote {args.report} and {args.chart}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
