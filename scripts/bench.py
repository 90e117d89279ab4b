# SPDX-License-Identifier: MIT
"""Benchmarks sockrelay against the tools people would use instead.

Each run moves the same bytes from standard input into a socket whose far
end is read by a separate process (bench-drain), and times the writer alone:
it is forked from bench-launch, which reports its wall time, CPU time and
peak RSS from wait4. Tools run interleaved, round after round, so that the
machine's drift hits all of them alike. Round 0 checks every stream that a
fast reader takes with SHA-256 and is not timed; the timed rounds check byte
counts. A tool that stops early is shown with the bytes it delivered.

    scripts/bench [--size 1G] [--rounds 5] [--rows file-unix,...]
                  [--tools sockrelay,dd,cat,socat,pv] [--dd-bs 32k[,128k...]]
                  [--relays 100] [--waiting 200,1000] [--wait-seconds 10]
                  [--baseline OTHER_SOCKRELAY]

A row is an input (file, pipe) and an output joined by a dash, for example
pipe-unix-nb-slow; OUTPUTS below lists the outputs. With --dd-bs, dd runs
once per block size: dd bs=32k is the floor for sockrelay's design (the
same chunks, nothing in between). The row "waiting" is what waiting costs:
200, then 1000 relays (--waiting) each fill a non-blocking Unix socket that
nobody reads and wait on it for --wait-seconds; then the parent shuts every
socket down, and the row gives the relays' total CPU from wait4 and how
soon they ended. The row "waiting-tstamp" does the same on TCP with the
owner's transmit timestamps on, whose error queue wakes poll at once.

The inputs are written to /dev/shm where it has room for them, else to the
temporary directory (TMPDIR); where neither has, one line says how much is
needed and the bench stops before any run. A line on standard error marks
each row of each round as it starts. Needs Python 3.11 or later.
"""
import argparse
import dataclasses
import hashlib
import os
import platform
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Optional

import relaykit
from relaykit import CHUNK

GIB = 1 << 30
MIB = 1 << 20
SOCKFD = 5  # where tools that take a descriptor number get the socket
DEADLINE = 300  # seconds one run may take, from the start of its writers


@dataclass(frozen=True)
class Tool:
    name: str
    argv: tuple   # "{fd}" stands for the socket's number
    out: int      # the socket's number in the tool: 1 for tools that write to stdout
    package: str  # the Debian package that brings it


def tool_list(names, dd_sizes):
    sockrelay = relaykit.built("sockrelay")[0]
    tools = {
        "sockrelay": [Tool("sockrelay", (sockrelay, "--sockfd", "{fd}"), SOCKFD, "")],
        "dd": [Tool(f"dd bs={bs}", ("dd", f"bs={bs}", "iflag=fullblock", "status=none"), 1,
                    "coreutils") for bs in dd_sizes],
        "cat": [Tool("cat", ("cat",), 1, "coreutils")],
        "socat": [Tool("socat", ("socat", "-u", "STDIN", "FD:{fd}"), SOCKFD, "socat")],
        "pv": [Tool("pv", ("pv", "-q"), 1, "pv")],
    }
    unknown = set(names) - set(tools)
    if unknown:
        raise SystemExit(f"unknown tools: {', '.join(sorted(unknown))}")
    return [t for name in names for t in tools[name]]


@dataclass(frozen=True)
class Output:
    kind: str                   # a relaykit socket kind
    nodelay: bool = False       # TCP_NODELAY set by the parent
    nonblock: bool = False      # handed over non-blocking, as Node.js does
    step: int = 0               # the reader's read size (0: 1 MiB) ...
    pause_us: int = 0           # ... and its pause after each read
    size: Optional[int] = None  # input per relay, where --size would take too long
    relays: int = 1             # relays at once, one socket each, one reader for all


OUTPUTS = {
    "unix": Output("unix"),
    "tcp": Output("tcp"),
    "tcp-nodelay": Output("tcp", nodelay=True),
    # A reader taking 16 KiB per read, as wc and most programs do.
    "tcp16k": Output("tcp", step=16 << 10),
    "tcp16k-nodelay": Output("tcp", nodelay=True, step=16 << 10),
    "unix-dgram": Output("unix-dgram"),
    "unix-nb": Output("unix", nonblock=True),
    "unix-nb-slow": Output("unix", nonblock=True, step=64 << 10, pause_us=5000, size=16 * MIB),
    "unix-nb-many": Output("unix", nonblock=True, step=16 << 10, pause_us=100, size=MIB,
                           relays=100),
}
INPUTS = ("file", "pipe")
ROWS = ("file-unix", "pipe-unix", "file-tcp", "pipe-tcp", "file-tcp-nodelay",
        "pipe-tcp-nodelay", "file-tcp16k", "file-tcp16k-nodelay", "file-unix-dgram",
        "pipe-unix-nb", "pipe-unix-nb-slow", "file-unix-nb-many", "waiting", "waiting-tstamp")
# The waiting rows: the socket each relay waits on.
WAITING = {"waiting": "Unix sockets", "waiting-tstamp": "TCP with transmit timestamps"}
TSTAMP = 0x2 | 0x10 | 0x200  # TX_SOFTWARE, SOFTWARE and TX_ACK: each send queues a timestamp
DGRAM_TOOLS = ("sockrelay", "baseline", "dd bs=32k")
RELAYS = ("sockrelay", "baseline")  # the tools that take part in the waiting rows


@dataclass(frozen=True)
class Row:
    name: str
    input: str
    output: Output
    size: int

    @property
    def dgram(self):
        return relaykit.is_datagram(self.output.kind)


@dataclass(frozen=True)
class Result:
    wall: float       # seconds, the writer alone (the whole row when relays > 1)
    cpu: float        # user + system seconds of the writers
    rss: int          # peak RSS of one writer, KiB
    delivered: int    # bytes that reached the reader
    failed: int       # writers that exited non-zero
    status: int       # the first non-zero exit status, or 0


def row(name, size, relays):
    source, _, out = name.partition("-")
    if source not in INPUTS or out not in OUTPUTS:
        raise SystemExit(f"unknown row {name}: an input ({', '.join(INPUTS)}) and an output "
                         f"({', '.join(OUTPUTS)}) joined by a dash")
    output = OUTPUTS[out]
    if output.relays > 1:
        output = dataclasses.replace(output, relays=relays)
    return Row(name, source, output, output.size or size)


def size_arg(text):
    units = {"K": 1 << 10, "M": MIB, "G": GIB}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def run_once(tool, r, path, digest=None):
    """One run of `tool` on row `r`, reading the input from `path`; with
    `digest`, a fast reader checks the stream's SHA-256. Raises if the bytes
    that arrived are wrong for a tool that reported success."""
    launch, drain = relaykit.built("bench-launch", "bench-drain")
    out = r.output
    pairs = [relaykit.socket_pair(out.kind, nodelay=out.nodelay, nonblock=out.nonblock)
             for _ in range(out.relays)]
    expected = r.size * out.relays
    peers = {3 + i: peer for i, (_, peer) in enumerate(pairs)}
    hashed = digest is not None and not r.dgram and out.relays == 1 and not out.pause_us
    if hashed:
        reader = relaykit.Process(["sha256sum"], stdin=peers[3])
    else:
        reader = relaykit.Process([drain, "-l", str(expected if r.dgram else 0),
                                   "-s", str(out.step), "-p", str(out.pause_us),
                                   *map(str, peers)], fds=peers)
    writers, feeders = [], []
    start = time.monotonic()
    for mine, peer in pairs:
        peer.close()
        if r.input == "file":
            stdin = os.open(path, os.O_RDONLY)
        else:
            stdin, feed = os.pipe()
            feeders.append(relaykit.Process(["cat", path], fds={1: feed}))
            os.close(feed)
        report, report_w = os.pipe()
        argv = [a.replace("{fd}", str(tool.out)) for a in tool.argv]
        writers.append((relaykit.Process([launch, "3", *argv], stdin=stdin,
                                         fds={3: report_w, tool.out: mine}), report))
        os.close(stdin)
        os.close(report_w)
        mine.close()
    # The launcher writes its report when the writer has ended, so the
    # report is read only once the launcher has ended too.
    end = start + DEADLINE
    reports = []
    for writer, report in writers:
        if writer.wait(max(0.0, end - time.monotonic())).timed_out:
            raise RuntimeError(f"{tool.name} on {r.name}: still writing after {DEADLINE} s")
        with os.fdopen(report) as f:
            reports.append([float(x) for x in f.read().split()])
    for feeder in feeders:
        feeder.wait(max(0.0, end - time.monotonic()))
    got = reader.wait(max(0.0, end - time.monotonic()))
    wall = time.monotonic() - start if out.relays > 1 else reports[0][0]
    if got.timed_out:
        raise RuntimeError(f"{tool.name} on {r.name}: the reader never got to the end "
                           f"within {DEADLINE} s")
    failed = [int(x[4]) for x in reports if x[4] != 0]
    words = got.out.split()
    if hashed:
        delivered = r.size if words[0].decode() == digest else -1
        if delivered < 0 and not failed:
            raise RuntimeError(f"{tool.name} on {r.name}: the received stream differs (SHA-256)")
    else:
        delivered, reads, shorts = (int(x) for x in words)
        if r.dgram and not failed and (reads != -(-expected // CHUNK) or shorts > out.relays):
            raise RuntimeError(f"{tool.name} on {r.name}: {reads} messages, {shorts} short")
    if not failed and delivered != expected:
        raise RuntimeError(f"{tool.name} on {r.name}: {delivered} of {expected} bytes arrived")
    return Result(wall, sum(x[1] + x[2] for x in reports), int(max(x[3] for x in reports)),
                  delivered, len(failed), failed[0] if failed else 0)


@dataclass(frozen=True)
class Waited:
    cpu: float      # user + system seconds of all the relays, from wait4
    waiting: float  # µs of CPU per relay per second of waiting, once settled
    settled: float  # seconds from the shut-down to the last exit
    hung: int       # relays still running that long again after it, then killed


SETTLE = 3  # seconds for the relays to fill their sockets and any pause to reach its longest


def on_cpu(pids):
    """Nanoseconds the processes have run, from /proc/PID/schedstat."""
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total


def waiting_pair(name):
    """A non-blocking socket pair for a waiting row, quick to fill."""
    if name == "waiting":
        return relaykit.socket_pair("unix", nonblock=True)
    mine, peer = relaykit.socket_pair("tcp", nonblock=True, sndbuf=16384)
    peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    mine.setsockopt(socket.SOL_SOCKET, relaykit.SO_TIMESTAMPING, TSTAMP)
    return mine, peer


def run_waiting(name, tool, count, seconds, path):
    """`count` relays of `tool`, each on a socket of waiting row `name` that
    nobody reads, so that each fills it and waits; after SETTLE and then
    `seconds` more, the parent shuts every socket down and gives them as long
    again to end. The CPU of the `seconds` after SETTLE is the cost of
    waiting alone."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4 * count + 64)), hard))
    pairs = [waiting_pair(name) for _ in range(count)]
    argv = [a.replace("{fd}", str(SOCKFD)) for a in tool.argv]
    relays = []
    with open(os.devnull, "wb") as null:
        for mine, _ in pairs:
            with open(path, "rb") as stdin:
                relays.append(relaykit.Process(argv, stdin=stdin,
                                               fds={1: null, 2: null, SOCKFD: mine}))
        time.sleep(SETTLE)
        pids = [p.pid for p in relays]
        before = on_cpu(pids)
        time.sleep(seconds)
        waiting = (on_cpu(pids) - before) / 1000 / count / seconds
        shut = time.monotonic()
        for mine, _ in pairs:
            mine.shutdown(socket.SHUT_WR)
        outcomes = [p.wait(max(0.0, shut + seconds - time.monotonic())) for p in relays]
    for pair in pairs:
        for end in pair:
            end.close()
    settled = max(p.started + o.wall for p, o in zip(relays, outcomes)) - shut
    return Waited(sum(o.cpu for o in outcomes), waiting, settled,
                  sum(o.timed_out for o in outcomes))


def report_waiting(name, counts, seconds, tools, results):
    print(f"\n### {name} (relays on full non-blocking {WAITING[name]} that nobody reads, "
          f"{SETTLE:g} + {seconds:g} s; then the parent shuts the sockets down)\n")
    print("| relays | tool | CPU s, all relays | CPU ms per relay | "
          "CPU µs per relay per second of waiting | last exit after the shut-down, s | hung |")
    print("|---|---|---|---|---|---|---|")
    for count in counts:
        for tool in tools:
            runs = results[(name, count, tool.name)]
            cpu = statistics.median(x.cpu for x in runs)
            print(f"| {count} | {tool.name} | {spread([x.cpu for x in runs])} | "
                  f"{cpu / count * 1000:.2f} | {spread([x.waiting for x in runs])} | "
                  f"{spread([x.settled for x in runs])} | "
                  f"{max(x.hung for x in runs)} of {count} |")
    sys.stdout.flush()


def spread(values):
    return f"{statistics.median(values):.3f} [{min(values):.3f}-{max(values):.3f}]"


def report(r, tools, results):
    """The row's table, then sockrelay against each peer round by round."""
    out = r.output
    unit = "messages/s" if r.dgram else "GiB/s"
    many = f", {out.relays} relays at once" if out.relays > 1 else ""
    print(f"\n### {r.name} ({r.input} -> {out.kind}{', non-blocking' if out.nonblock else ''}"
          f"{', TCP_NODELAY' if out.nodelay else ''}{many}, {r.size / MIB:g} MiB each"
          f"{f', reader takes {out.step >> 10} KiB' if out.step else ''}"
          f"{f' every {out.pause_us / 1000:g} ms' if out.pause_us else ''})\n")
    print(f"| tool | median wall s | median {unit} | median CPU s | peak RSS KiB"
          f"{' per relay' if out.relays > 1 else ''} | delivered |")
    print("|---|---|---|---|---|---|")
    expected = r.size * out.relays
    rates = {}
    for tool in tools:
        runs = results[(r.name, tool.name)]
        amount = -(-expected // CHUNK) if r.dgram else expected / GIB
        rates[tool.name] = [amount / x.wall for x in runs]
        lost = [x for x in runs if x.delivered != expected]
        if lost:
            worst = min(lost, key=lambda x: x.delivered)
            delivered = (f"lost data in {len(lost)} of {len(runs)} rounds: as little as "
                         f"{max(worst.delivered, 0)} of {expected} bytes, exit {worst.status}"
                         + (f" ({worst.failed} of {out.relays} writers failed)" if out.relays > 1 else ""))
        else:
            delivered = "all"
        rate = "-" if lost else f"{statistics.median(rates[tool.name]):.{0 if r.dgram else 2}f}"
        print(f"| {tool.name} | {statistics.median(x.wall for x in runs):.3f} | {rate} | "
              f"{statistics.median(x.cpu for x in runs):.3f} | {max(x.rss for x in runs)} | "
              f"{delivered} |")
    mine = results.get((r.name, "sockrelay"))
    if not mine:
        return
    lines = []
    for tool in tools:
        theirs = results[(r.name, tool.name)]
        if tool.name == "sockrelay" or any(x.delivered != expected for x in theirs):
            continue
        speed = [a / b for a, b in zip(rates["sockrelay"], rates[tool.name])]
        cpu = [a.cpu / b.cpu for a, b in zip(mine, theirs)]
        lines.append((statistics.median(rates[tool.name]), tool.name, speed, cpu))
    if not lines:
        return
    lines.sort(reverse=True)
    print("\nsockrelay against each peer that delivered every byte, round by round: "
          "median [min-max]\n")
    print("| peer | throughput ratio | CPU ratio |")
    print("|---|---|---|")
    for i, (_, peer, speed, cpu) in enumerate(lines):
        print(f"| {peer}{' (fastest peer)' if i == 0 else ''} | {spread(speed)} | {spread(cpu)} |")
    sys.stdout.flush()


def nagle(rows, tools, results):
    """Throughput with TCP_NODELAY over throughput with Nagle on, per tool."""
    names = {r.name for r in rows}
    pairs = [(r.name, r.name + "-nodelay") for r in rows if r.name + "-nodelay" in names]
    if not pairs:
        return
    print("\n### TCP_NODELAY against Nagle on: throughput ratio, round by round\n")
    print("| tool | " + " | ".join(f"{b} / {a}" for a, b in pairs) + " |")
    print("|---|" + "---|" * len(pairs))
    for tool in tools:
        cells = []
        for a, b in pairs:
            on, off = results[(a, tool.name)], results[(b, tool.name)]
            cells.append(spread([x.wall / y.wall for x, y in zip(on, off)]))
        print(f"| {tool.name} | " + " | ".join(cells) + " |")


def input_place(needed):
    """A directory with room for `needed` bytes of input and a margin of
    64 MiB: /dev/shm, else the temporary directory; exits with one line
    where neither has it."""
    free = {}
    for place in ("/dev/shm", tempfile.gettempdir()):
        try:
            st = os.statvfs(place)
        except OSError:
            continue
        free[place] = st.f_bavail * st.f_frsize
        if free[place] >= needed + 64 * MIB and os.access(place, os.W_OK):
            return place
    have = ", ".join(f"{place} has {room // MIB} MiB free" for place, room in free.items())
    sys.exit(f"bench: the inputs need {needed // MIB + 64} MiB and {have}: give a smaller "
             f"--size, or set TMPDIR to a directory with room")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=size_arg, default=GIB, help="bytes per run (1G, 512M)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds")
    parser.add_argument("--rows", default=",".join(ROWS), help="comma-separated rows")
    parser.add_argument("--tools", default="sockrelay,dd,cat,socat,pv")
    parser.add_argument("--dd-bs", default="32k", help="comma-separated dd block sizes")
    parser.add_argument("--relays", type=int, default=100, help="relays at once on -many rows")
    parser.add_argument("--waiting", default="200,1000",
                        help="comma-separated relay counts for the waiting rows")
    parser.add_argument("--wait-seconds", type=float, default=10,
                        help="how long the relays of the waiting rows wait")
    parser.add_argument("--baseline", metavar="PATH",
                        help="another sockrelay binary to run beside this one, as 'baseline'")
    args = parser.parse_args()
    relaykit.built("sockrelay", "bench-launch", "bench-drain", fresh=True)
    names = args.rows.split(",")
    rows = [row(name, args.size, args.relays) for name in names if name not in WAITING]
    waiting = [name for name in names if name in WAITING]
    counts = [int(n) for n in args.waiting.split(",")]

    tools = []
    if args.baseline:
        tools.append(Tool("baseline", (os.path.abspath(args.baseline), "--sockfd", "{fd}"),
                          SOCKFD, ""))
    for tool in tool_list(args.tools.split(","), args.dd_bs.split(",")):
        if shutil.which(tool.argv[0]):
            tools.append(tool)
        else:
            print(f"skipped: {tool.name} is not installed "
                  f"(Debian package {tool.package}: apt-get install -y {tool.package})")

    sizes = sorted({r.size for r in rows} | ({MIB} if waiting else set()))
    place = input_place(sum(sizes))
    with tempfile.TemporaryDirectory(dir=place, prefix="sockrelay-bench-") as tmp:
        block = os.urandom(MIB)
        files, digests = {}, {}
        for size in sizes:
            files[size] = os.path.join(tmp, f"input-{size}")
            with open(files[size], "wb") as f:
                for at in range(0, size, MIB):
                    f.write(block[:min(MIB, size - at)])
            with open(files[size], "rb") as f:
                digests[size] = hashlib.file_digest(f, "sha256").hexdigest()
        print(f"# {args.rounds} timed rounds after one checked round; machine: "
              f"{os.cpu_count()} cores, Linux {platform.release()}, {cpu_model()}; "
              f"inputs in {place}", flush=True)
        plan = [(r, [t for t in tools if not r.dgram or t.name in DGRAM_TOOLS]) for r in rows]
        relays = [t for t in tools if t.name in RELAYS]
        results = {}
        # Every round runs every row and tool, so drift hits all of them alike
        # and rows can be compared round by round too.
        for rnd in range(args.rounds + 1):
            for k, (r, row_tools) in enumerate(plan, 1):
                print(f"# round {rnd} of {args.rounds}: {r.name} ({k} of {len(plan)} rows)",
                      file=sys.stderr, flush=True)
                for tool in row_tools:
                    result = run_once(tool, r, files[r.size], digests[r.size] if rnd == 0 else None)
                    if rnd > 0:
                        results.setdefault((r.name, tool.name), []).append(result)
            for name in waiting if rnd > 0 else ():
                print(f"# round {rnd} of {args.rounds}: {name}, {' then '.join(map(str, counts))} "
                      f"relays for {SETTLE + args.wait_seconds:g} s each", file=sys.stderr,
                      flush=True)
                for count in counts:
                    for tool in relays:
                        result = run_waiting(name, tool, count, args.wait_seconds, files[MIB])
                        results.setdefault((name, count, tool.name), []).append(result)
    for r, row_tools in plan:
        report(r, row_tools, results)
    nagle(rows, tools, results)
    for name in waiting:
        report_waiting(name, counts, args.wait_seconds, relays, results)


if __name__ == "__main__":
    try:
        main()
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"bench: {e}")
