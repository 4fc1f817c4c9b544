"""BENCHMARKS.md and its chart from the medians of a benchmark run (run.py).

A summary maps (hub name, (protocol, receivers, size, rate)) to the medians
of that case's runs; rate 0 is full load."""

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (the back end is chosen first)

RELAYHUB = "relayhub"
RELAYHUB_LARGE = "relayhub -L 65507"
PEERS = {"raw": "ncat --broker", "tls": "ncat --broker --ssl", "ws": "node ws hub", "wss": "node ws hub"}
TITLES = {"raw": "raw TCP", "tls": "TLS", "ws": "WebSocket", "wss": "WebSocket over TLS"}
# The matrix: every protocol with each receiver count and message size at
# full load, and light load as (receivers, size, messages/s).
PROTOCOLS = ("raw", "tls", "ws", "wss")
RECEIVER_COUNTS = (8, 31)
SIZES = (64, 4000)
LIGHT = (31, 64, 1000)
COLOURS = {RELAYHUB: "#1f4e99", RELAYHUB_LARGE: "#7aa6e0", "peer": "#e08a2c"}


def hubs_for(protocol):
    return (RELAYHUB, RELAYHUB_LARGE, PEERS[protocol])


def full(summary, hub, protocol, receivers, size):
    return summary.get((hub, (protocol, receivers, size, 0)))


def light(summary, hub, protocol):
    receivers, size, rate = LIGHT
    return summary.get((hub, (protocol, receivers, size, rate)))


def value(entry, field):
    return None if entry is None else entry.get(field)


def log_axis_from_zero(axes, values):
    """A log axis whose floor is a decade below the smallest value, so that
    bar heights compare at a glance."""
    positive = [v for v in values if v]
    axes.set_yscale("log")
    if positive:
        axes.set_ylim(bottom=10 ** (math.floor(math.log10(min(positive))) - 1))


def write_chart(summary, path):
    figure = plt.figure(figsize=(14, 11))
    grid = figure.add_gridspec(3, 2, height_ratios=(1, 1, 0.9))
    groups = [(receivers, size) for receivers in RECEIVER_COUNTS for size in SIZES]
    width = 0.27
    for index, protocol in enumerate(PROTOCOLS):
        axes = figure.add_subplot(grid[index // 2, index % 2])
        for offset, hub in enumerate(hubs_for(protocol)):
            heights = [value(full(summary, hub, protocol, r, s), "messages_per_s") or 0 for r, s in groups]
            colour = COLOURS.get(hub, COLOURS["peer"])
            axes.bar([g + (offset - 1) * width for g in range(len(groups))], heights, width, label=hub, color=colour)
        log_axis_from_zero(axes, [value(full(summary, hub, protocol, r, s), "messages_per_s")
                                  for hub in hubs_for(protocol) for r, s in groups])
        axes.set_title(f"{TITLES[protocol]}: full load")
        axes.set_ylabel("messages/s, all receivers")
        axes.set_xticks(range(len(groups)), [f"N={r}, {s} B" for r, s in groups])
        axes.grid(axis="y", which="both", alpha=0.3)
        axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))

    axes = figure.add_subplot(grid[2, :])
    names = (RELAYHUB, RELAYHUB_LARGE, "peer")
    for offset, name in enumerate(names):
        xs = [p + (offset - 1) * width for p in range(len(PROTOCOLS))]
        entries = [light(summary, PEERS[p] if name == "peer" else name, p) for p in PROTOCOLS]
        axes.bar(xs, [(value(e, "p50_us") or 0) / 1e3 for e in entries], width, color=COLOURS[name],
                 label=f"{name if name != 'peer' else 'peer (ncat / node ws hub)'}: p50")
        axes.scatter(xs, [(value(e, "p99_us") or 0) / 1e3 for e in entries], marker="_", s=300, color="black",
                     label="p99" if offset == 0 else None, zorder=3)
    log_axis_from_zero(axes, [value(light(summary, hub, p), "p50_us") / 1e3 for p in PROTOCOLS
                              for hub in hubs_for(p) if value(light(summary, hub, p), "p50_us")])
    axes.set_xticks(range(len(PROTOCOLS)), [TITLES[p] for p in PROTOCOLS])
    axes.set_ylabel("latency, ms")
    axes.set_title("Light load: 1000 messages/s of 64 B to 31 receivers")
    axes.grid(axis="y", which="both", alpha=0.3)
    axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    figure.suptitle("relayhub and its peers on one machine, loopback (medians)")
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)


def number(x, digits=0):
    return "–" if x is None else f"{x:,.{digits}f}"


def milliseconds(us):
    return "–" if us is None else f"{us / 1e3:,.2f}"


def full_load_table(summary):
    lines = ["| protocol | receivers | message | hub | messages/s | MB/s | p50 ms | p99 ms | hub CPU | load CPU |",
             "| --- | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for protocol in PROTOCOLS:
        for receivers in RECEIVER_COUNTS:
            for size in SIZES:
                for hub in hubs_for(protocol):
                    e = full(summary, hub, protocol, receivers, size)
                    lines.append(f"| {TITLES[protocol]} | {receivers} | {size} B | {hub} | "
                                 f"{number(value(e, 'messages_per_s'))} | {number(value(e, 'mb_per_s'), 1)} | "
                                 f"{milliseconds(value(e, 'p50_us'))} | {milliseconds(value(e, 'p99_us'))} | "
                                 f"{number(value(e, 'relay_cpu'), 2)} | {number(value(e, 'load_cpu'), 2)} |")
    return lines


def light_load_table(summary):
    lines = ["| protocol | hub | messages/s | p50 µs | p99 µs | hub CPU |", "| --- | --- | ---: | ---: | ---: | ---: |"]
    for protocol in PROTOCOLS:
        for hub in hubs_for(protocol):
            e = light(summary, hub, protocol)
            lines.append(f"| {TITLES[protocol]} | {hub} | {number(value(e, 'messages_per_s'))} | "
                         f"{number(value(e, 'p50_us'))} | {number(value(e, 'p99_us'))} | "
                         f"{number(value(e, 'relay_cpu'), 2)} |")
    return lines


def memory_table(memory):
    lines = ["| hub | VmRSS at start | after each repetition | highest | at end |",
             "| --- | ---: | ---: | ---: | ---: |"]
    for hub, (samples, marks) in memory.items():
        if samples:
            after = ", ".join(f"{kib:,}" for kib in marks)
            lines.append(f"| {hub} | {samples[0]:,} KiB | {after} KiB | {max(samples):,} KiB | {samples[-1]:,} KiB |")
    return lines


def targets():
    """(protocol, receivers, size, relayhub run, field, factor) of each
    throughput target: relayhub's figure over the peer's must reach factor."""
    rows = []
    for protocol in ("ws", "wss"):
        for receivers in RECEIVER_COUNTS:
            rows.append((protocol, receivers, 64, RELAYHUB, "messages_per_s", 2.0))
            rows.append((protocol, receivers, 4000, RELAYHUB, "messages_per_s", 1.0))
            rows.append((protocol, receivers, 64, RELAYHUB_LARGE, "messages_per_s", 2.0))
            rows.append((protocol, receivers, 4000, RELAYHUB_LARGE, "messages_per_s", 2.0))
    for protocol in ("raw", "tls"):
        for receivers in RECEIVER_COUNTS:
            for size in SIZES:
                rows.append((protocol, receivers, size, RELAYHUB_LARGE, "mb_per_s", 1.5))
    return rows


def ratio(mine, theirs):
    return None if mine is None or not theirs else mine / theirs


def verdict(r, factor, higher_is_better=True):
    if r is None:
        return "–"
    return "yes" if (r >= factor if higher_is_better else r <= factor) else "**no**"


def targets_table(summary):
    lines = ["| protocol | receivers | message | relayhub run | measure | relayhub | peer | relayhub / peer | target "
             "| met |", "| --- | ---: | ---: | --- | --- | ---: | ---: | ---: | ---: | --- |"]
    for protocol, receivers, size, run, field, factor in targets():
        mine = value(full(summary, run, protocol, receivers, size), field)
        theirs = value(full(summary, PEERS[protocol], protocol, receivers, size), field)
        r = ratio(mine, theirs)
        measure = "messages/s" if field == "messages_per_s" else "MB/s"
        digits = 0 if field == "messages_per_s" else 1
        lines.append(f"| {TITLES[protocol]} | {receivers} | {size} B | {run} | {measure} | {number(mine, digits)} | "
                     f"{number(theirs, digits)} | {number(r, 2)} | ≥ {factor:g} | {verdict(r, factor)} |")
    for protocol in PROTOCOLS:
        theirs = light(summary, PEERS[protocol], protocol)
        for run in (RELAYHUB, RELAYHUB_LARGE):
            mine = light(summary, run, protocol)
            for field, factor in (("p50_us", 1.0), ("p99_us", 1.5)):
                r = ratio(value(mine, field), value(theirs, field))
                lines.append(f"| {TITLES[protocol]} | 31 | 64 B, 1000/s | {run} | {field[:3]} µs | "
                             f"{number(value(mine, field))} | {number(value(theirs, field))} | {number(r, 2)} | "
                             f"≤ {factor:g} | {verdict(r, factor, higher_is_better=False)} |")
    return lines


def describe(case):
    if not case:
        return "–"
    protocol, receivers, size, rate = case
    return f"{TITLES[protocol]}, N={receivers}, {size} B, " + ("full load" if rate == 0 else f"{rate}/s")


def write_report(path, chart, summary, memory, before, after, versions, settings):
    ciphers = sorted({f"{hub}: {e['cipher']}" for (hub, case), e in summary.items()
                      if case[0] in ("tls", "wss") and e.get("cipher")})
    faults = [f"- {hub}, {describe(case)}: {'; '.join(e['faults'])}" for (hub, case), e in sorted(summary.items())
              if e["faults"]]
    chart_link = chart.name if chart.parent == path.parent else f"{chart.parent.name}/{chart.name}"
    window_kib = settings["window"] // 1024
    busiest = max(((e["receiver_cpu"], hub, case) for (hub, case), e in summary.items()
                   if e.get("receiver_cpu") is not None), default=(0, "", ()))
    text = [
        "# Benchmarks",
        "",
        "Fan-out speed of relayhub beside two other broadcast hubs on one machine, over loopback: "
        "`ncat --broker` for raw TCP and, with `--ssl`, for TLS; a small broadcast hub on node's `ws` "
        "(`bench/ws_hub.js`) for WebSocket and WebSocket over TLS. One sender, N receivers, all of the same "
        "protocol, driven by the same load generator (`bench/load.cpp`, target `relay_load`). Rerun with "
        "`make bench` (about ten minutes; it installs ncat, node-ws and python3-matplotlib if missing); it is not "
        "part of CI. This file and the chart are written by `bench/run.py`.",
        "",
        f"![relayhub against each peer]({chart_link})",
        "",
        "## Machine",
        "",
        f"- {before['cores']} cores: {before['cpu']}; {before['memory_gib']:.0f} GiB of memory",
        f"- Linux {before['kernel']}",
        f"- {before['date']}; load average {before['load']:.1f} at the start, {after['load']:.1f} at the end "
        "(the machine is shared: other work running at the same time shows in the figures)",
        f"- {versions['ncat']}; node {versions['node']} with ws {versions['ws']}; {versions['openssl']}",
        f"- TLS cipher suites negotiated: {'; '.join(ciphers) if ciphers else '–'}",
        "",
        "## Method",
        "",
        f"- Every hub is started once and serves all of its cases in turn; relayhub runs twice, at the default "
        f"packet length (4096) and with `-L 65507`, both with 32 slots. Each case ran {settings['runs']} times, "
        "the cases interleaved across the hubs; the figures are the medians.",
        f"- A run: the receivers connect, then the sender. The sender sends single probe messages until every "
        f"receiver has one (so each is known to be set up, which for a silent raw client on relayhub takes about "
        f"a second), then messages for {settings['warmup']:g} s of warm-up and {settings['seconds']:g} s measured.",
        "- Full load: the sender writes 64 KiB batches of messages (WebSocket: one frame per message, masked), "
        f"staying at most {window_kib} KiB of messages ahead of the slowest receiver, so a hub that queues without "
        "bound does not grow for the whole run. Light load: 1000 messages/s, one message per write, 64 B, 31 "
        "receivers.",
        "- A message is a fixed-size record: sequence number, send time, and a body that depends on the sequence "
        "number. Every receiver reassembles the stream (raw, TLS) or parses the frames (WS, WSS), checks every "
        "byte of every message in order, and takes every message up to the last one sent; a run with a fault "
        "counts for nothing and is listed below.",
        "- messages/s: whole messages received by all receivers together in the measured time; MB/s: their "
        "payload bytes (10^6) per second. Latency: from the sender's write to the receiver's read, both on the "
        "same monotonic clock, over every message received in the measured time; at full load it is mostly the "
        "time a message waits behind the window.",
        "- hub CPU and load CPU: CPU time per second of the hub process and of the load generator (1.00 is one "
        "core kept busy), from /proc and getrusage over the measured time. The generator reads all receivers in "
        "one thread with epoll and sends from a second. Its receiving thread, the busier one, used at most "
        f"{busiest[0]:.2f} of a core (median of a case; {busiest[1]}, {describe(busiest[2])})"
        + (": it never kept a core busy, so it was not what held a case back." if busiest[0] < 0.9 else
           ": near a whole core, so that case may be held back by the generator itself."),
        "- Every hub and the load generator run at nice -10, the priority relayhub gives itself as root.",
        "",
        "## Full load",
        "",
        *full_load_table(summary),
        "",
        "## Light load: 1000 messages/s, 31 receivers, 64 B",
        "",
        *light_load_table(summary),
        "",
        "## Memory",
        "",
        "Resident size (VmRSS from /proc/PID/status) of each hub process, sampled every 0.5 s from its start, "
        "before the first case, to its end, after the last, and after each repetition of the whole matrix.",
        "",
        *memory_table(memory),
        "",
        "## Where relayhub stands against the targets",
        "",
        "Throughput targets compare relayhub's median with the peer's for the same protocol, receivers and "
        "message size; the light-load latencies compare with the same protocol's peer. The raw and TLS figures "
        "at the default packet length are the baseline that later changes must not fall below.",
        "",
        *targets_table(summary),
        "",
    ]
    if faults:
        text += ["## Faults", "", *faults, ""]
    path.write_text("\n".join(text))
