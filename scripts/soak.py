# SPDX-License-Identifier: MIT
"""Fault soak: runs the real sockrelay again and again in random scenarios
until the time is up and checks that every run ends in a documented outcome
with the bytes to match it.

    scripts/soak [--seconds 60] [--seed S] [--run K] [--family NAME] [--deadline 60]

Each family is a pair: draw a scenario, then accept an outcome. Run K uses
family K modulo their number and draws from its own generator, seeded with
"S:K", so a failure is replayed with the seed and run number it prints;
--family runs only the runs of one family. The
last line reads "N passed, M failed"; the exit status is 1 if any run failed.
SOCKRELAY_BUILD=DIR runs the sockrelay built in DIR.
"""
import argparse
import os
import random
import re
import signal
import socket
import statistics
import struct
import sys
import tempfile
import time
from dataclasses import dataclass, fields
from typing import Callable, Optional

import relaykit
from relaykit import CHUNK

MAX_SIZE = 64 << 20
DATA = os.urandom(MAX_SIZE)


@dataclass
class Scenario:
    output: str = "unix"                # a relaykit socket kind
    size: int = 0
    input: str = "file"                 # or "pipe", written in random bursts
    reader: str = "fast"                # fast, slow (16 KiB reads, pauses), stall, or
                                        # late (only once sockrelay has ended)
    nonblock: bool = False
    sndbuf: Optional[int] = None
    sndtimeo: Optional[float] = None
    zerocopy: bool = False
    number: int = 5                     # sockrelay's descriptor number
    spy: tuple = ()                     # interposer settings
    stops: int = 0                      # SIGSTOP/SIGCONT pairs
    close_after: Optional[int] = None   # the reader closes after this many bytes
    reset: bool = False                 # ... with a TCP reset
    sigpipe: str = "default"            # or "ignore"
    shutdown: Optional[str] = None      # "parent" (its SHUT_WR) or "peer" (its SHUT_RD) ...
    shutdown_after: float = 0.0         # ... this many seconds after the start

    def describe(self):
        return " ".join(f"{f.name}={getattr(self, f.name)}" for f in fields(self)
                        if getattr(self, f.name) != f.default)


@dataclass
class Run:
    data: bytes          # the input
    status: int          # exit status, or minus the signal number
    rest: list           # standard error after the announcement line
    got: bytes           # everything the reader received
    messages: list       # the datagrams received
    calls: list          # the interposer's log
    settled: float       # seconds from the shut-down to the exit


# --- drawing scenarios ----------------------------------------------------------

def pick_size(rng, limit=MAX_SIZE):
    r = rng.random()
    if r < 0.55:  # around chunk boundaries
        size = CHUNK * rng.randint(0, 64) + rng.choice((-1, 0, 1))
    elif r < 0.9:
        size = rng.randint(0, 1 << 20)
    else:
        size = rng.randint(0, limit)
    return max(0, min(size, limit))


def draw_stream(rng):
    s = Scenario(input=rng.choice(("pipe", "file")),
                 reader=rng.choice(("fast", "fast", "slow", "stall")),
                 nonblock=rng.random() < 0.3, sndbuf=rng.choice((None, None, 4096)),
                 sndtimeo=rng.choice((None, None, 0.01, 0.2, 2.0)),
                 number=rng.choice((3, 5, 9, 64, 255)),
                 output=rng.choice(("unix", "tcp")))
    s.zerocopy = s.output == "tcp" and rng.random() < 0.3
    s.size = pick_size(rng, 4 << 20 if s.reader == "slow" else MAX_SIZE)
    return s


def draw_datagram(rng):
    s = draw_stream(rng)
    s.output = rng.choice(("unix-dgram", "udp"))
    s.sndbuf = None  # a chunk larger than the send buffer is refused
    s.zerocopy = s.output == "udp" and rng.random() < 0.3
    s.size = pick_size(rng, 4 << 20)
    return s


def draw_faults(rng):
    s = draw_stream(rng)
    spy = [f"STORM={rng.randint(1, 1 << 30)}:{rng.randint(50, 700)}"]
    if rng.random() < 0.5:
        cap = rng.randint(1, 40000)
        spy.append(f"CAP={cap}")
        # Under a heavy storm a send costs up to a 10 ms pause: keep the
        # number of sends within what a run has time for.
        s.size = min(s.size, 2000 * cap)
    if rng.random() < 0.3:
        spy.append(f"SCRIPT=PASS*{rng.randint(0, 40)},"
                   f"{rng.choice(('ECONNRESET', 'EPIPE', 'ZERO'))}")
    s.spy = tuple(spy)
    s.size = min(s.size, 16 << 20)
    return s


def draw_stopcont(rng):
    s = draw_stream(rng)
    s.stops = rng.randint(1, 30)
    s.reader = rng.choice(("stall", "slow"))
    s.sndtimeo = rng.choice((0.01, 0.2, 2.0, None))
    s.size = max(s.size, 1 << 20)
    if s.reader == "slow":
        s.size = min(s.size, 4 << 20)
    return s


def draw_peerclose(rng):
    s = draw_stream(rng)
    s.size = max(s.size, 1)
    s.close_after = rng.randint(0, s.size - 1)
    s.reset = s.output == "tcp" and rng.random() < 0.5
    s.sigpipe = rng.choice(("default", "ignore"))
    return s


def draw_shutdown(rng):
    s = draw_stream(rng)
    s.output = rng.choice(("unix", "unix", "unix-dgram", "tcp"))
    s.zerocopy = False
    if relaykit.is_datagram(s.output):
        s.sndbuf = None
    s.reader = rng.choice(("late", "late", "slow", "stall"))
    s.size = pick_size(rng, 4 << 20 if s.reader == "slow" else 16 << 20)
    s.shutdown = "peer" if s.output == "unix" and rng.random() < 0.4 else "parent"
    s.shutdown_after = round(rng.uniform(0, 0.4), 3)
    s.sigpipe = rng.choice(("default", "ignore"))
    return s


# --- accepting outcomes: "" when accepted, else the reason ------------------------

def exact(r):
    if r.status != 0 or r.rest:
        return f"status {r.status}, then {r.rest}"
    return "" if r.got == r.data else mismatch(r.data, r.got)


def chunk_messages(r):
    if r.status != 0 or r.rest:
        return f"status {r.status}, then {r.rest}"
    want = [r.data[i:i + CHUNK] for i in range(0, len(r.data), CHUNK)]
    if r.messages != want:
        return (f"{len(r.messages)} messages of sizes {[len(m) for m in r.messages][:6]}..., "
                f"expected {len(want)}")
    return ""


def write_error(r, allowed):
    """Whether the lone line is a write error with an error number in `allowed`
    (0: a send that took nothing)."""
    m = re.fullmatch(r"write error: (-1 [1-9]\d*|0 0) sockfd:\d+ ERROR_ABORT", r.rest[0]) \
        if len(r.rest) == 1 else None
    return m is not None and int(m[1].split()[1]) in allowed


def exact_or_fatal(r, s):
    """Exact, or the scripted fatal error with the peer holding exactly what
    the accepted sends carried."""
    if r.status == 0:
        return exact(r)
    scripted = any(x.startswith("SCRIPT=") for x in s.spy)
    if r.status == 255 and scripted and write_error(r, {32, 104, 0}):
        accepted = sum(c.result for c in r.calls if c.result > 0)
        if r.got != r.data[:accepted]:
            return f"peer holds {len(r.got)} bytes, sockrelay had {accepted} accepted"
        return ""
    return f"status {r.status}, then {r.rest}"


def prefix(r, s, errors):
    """Status 0, death by SIGPIPE at its default, or 255 with one of
    `errors`; and the peer holds a prefix of the input."""
    ok = ((r.status == 0 and not r.rest)
          or (r.status == -signal.SIGPIPE and not r.rest and s.sigpipe == "default")
          or (r.status == 255 and write_error(r, errors)))
    if not ok:
        return f"status {r.status}, then {r.rest}"
    return "" if r.data.startswith(r.got) else "received bytes are not a prefix of the input"


def prefix_after_close(r, s):
    return prefix(r, s, {32, 104} if s.sigpipe == "ignore" else {104})


# A relay waiting for room notices a shut-down within a second; the rest is
# slack for a loaded machine.
SHUTDOWN_BOUND = 2.5


def ended_by_shutdown(r, s):
    if r.status == 0 and not r.rest:
        return exact(r)  # done before the shut-down
    if r.settled > SHUTDOWN_BOUND:
        return f"exit {r.settled:.2f} s after the shut-down"
    return prefix(r, s, {32})


@dataclass(frozen=True)
class Family:
    name: str
    draw: Callable[[random.Random], Scenario]
    accept: Callable[[Run, Scenario], str]


# One pair per row of the family table in docs/reliability.md.
FAMILIES = (
    Family("stream", draw_stream, lambda r, s: exact(r)),
    Family("datagram", draw_datagram, lambda r, s: chunk_messages(r)),
    Family("faults", draw_faults, exact_or_fatal),
    Family("stopcont", draw_stopcont, lambda r, s: exact(r)),
    Family("peerclose", draw_peerclose, prefix_after_close),
    Family("shutdown", draw_shutdown, ended_by_shutdown),
)


# --- running one scenario ---------------------------------------------------------

class Reader:
    """Drains the peer as the scenario says, keeping the bytes and, for a
    datagram socket, each message."""

    def __init__(self, s, rng):
        self.s, self.rng = s, rng
        self.data, self.messages = bytearray(), []

    def __call__(self, peer, ended):
        s = self.s
        if s.reader == "stall":
            time.sleep(self.rng.uniform(0.05, 0.6))
        elif s.reader == "late":
            ended.wait()
        dgram = relaykit.is_datagram(s.output)
        peer.settimeout(0.05)
        while True:
            if s.close_after is not None and len(self.data) >= s.close_after:
                if s.reset:
                    peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                peer.close()
                return
            want = 16384 if s.reader == "slow" else 1 << 20
            if s.close_after is not None:
                want = min(want, s.close_after - len(self.data))
            try:
                got = peer.recv(max(want, CHUNK) if dgram else want)
            except socket.timeout:
                if dgram and ended.is_set():
                    return  # sockrelay has ended and nothing more is queued
                continue
            except ConnectionResetError:
                return
            if not got and not dgram:
                return
            self.data += got
            if dgram:
                self.messages.append(bytes(got))
            if s.reader == "slow":
                time.sleep(0.0002)


def feed(rng):
    """A feeder for Relay that writes in random bursts."""
    def write(fd, data):
        try:
            at = 0
            while at < len(data):
                n = min(len(data) - at,
                        rng.choice((1, 17, 4096, 32767, 32768, 32769, 100000, 262144)))
                at += os.write(fd, data[at:at + n])
                if rng.random() < 0.02:
                    time.sleep(rng.uniform(0, 0.005))
        except OSError:
            pass
        finally:
            os.close(fd)
    return write


def run_one(s, rng, family, deadline):
    """Runs one scenario; returns (reason or "", bytes received, faults
    injected, the relay's outcome, seconds from a shut-down to the exit)."""
    data = DATA[:s.size]
    mine, peer = relaykit.socket_pair(s.output, nonblock=s.nonblock, sndbuf=s.sndbuf,
                                      sndtimeo=s.sndtimeo, zerocopy=s.zerocopy)
    s.zerocopy = bool(mine.getsockopt(socket.SOL_SOCKET, relaykit.SO_ZEROCOPY))
    env, log = None, None
    if s.spy:
        fd, log = tempfile.mkstemp(prefix="soak-spy-")
        os.close(fd)
        env = relaykit.spy_env(log, s.spy)
    reader = Reader(s, rng)
    relay = relaykit.Relay((mine, peer), data, reader, number=s.number, input=s.input,
                           feed=feed(random.Random(rng.random())), env=env, sigpipe=s.sigpipe,
                           keep=bool(s.shutdown))
    child = relay.process
    faults = 0
    for _ in range(s.stops):
        time.sleep(rng.uniform(0.001, 0.02))
        if not child.running():
            break
        child.signal(signal.SIGSTOP)
        time.sleep(rng.uniform(0, 0.005))
        child.signal(signal.SIGCONT)
        faults += 1
    shut_at = None
    if s.shutdown:
        time.sleep(s.shutdown_after)
        shut_at = time.monotonic()
        if s.shutdown == "parent":
            mine.shutdown(socket.SHUT_WR)
        else:
            peer.shutdown(socket.SHUT_RD)
        mine.close()
    o = relay.wait(deadline)
    settled = max(0.0, child.started + o.wall - shut_at) if shut_at else 0.0
    calls = relaykit.read_spy_log(log) if log else []
    if log:
        os.unlink(log)
    faults += (sum(c.injected for c in calls) + (s.close_after is not None)
               + (shut_at is not None))
    got = bytes(reader.data)
    lines = o.lines
    if o.timed_out:
        reason = f"still running after {deadline:g} s"
    elif o.out:
        reason = f"{len(o.out)} bytes on standard output"
    elif not lines or lines[0] != f"outputting to sockfd device {s.number}":
        reason = f"standard error: {o.err!r}"
    else:
        reason = family.accept(Run(data, o.status, lines[1:], got, reader.messages, calls,
                                   settled), s)
    return reason, len(got), faults, o, settled


def mismatch(want, got):
    at = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return f"expected {len(want)} bytes, got {len(got)}; first difference at {at}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--run", type=int, default=None, help="replay this run only")
    parser.add_argument("--family", choices=[f.name for f in FAMILIES],
                        help="only the runs of this family")
    parser.add_argument("--deadline", type=float, default=60, help="seconds a run may take")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randint(1, 1 << 31)
    relaykit.built("sockrelay", "sendspy")
    print(f"seed {seed}", flush=True)

    stats = {f.name: [0, 0, 0, 0] for f in FAMILIES}  # runs, bytes, faults, failed
    # (CPU/wall, run, CPU, wall) of relays on non-blocking sockets with slow
    # or stalling readers, for runs long enough that start-up does not
    # dominate.
    waits = []
    settles = {}  # socket, who shut it down, mode -> [(seconds to the exit, run)]
    slowest = (0.0, 0)  # the longest a relay ran, and its run
    start = time.monotonic()
    names = [f.name for f in FAMILIES]
    step = len(FAMILIES) if args.family else 1
    k = args.run if args.run is not None else names.index(args.family) if args.family else 0
    while True:
        rng = random.Random(f"{seed}:{k}")
        family = FAMILIES[k % len(FAMILIES)]
        s = family.draw(rng)
        reason, received, faults, o, settled = run_one(s, rng, family, args.deadline)
        st = stats[family.name]
        st[0] += 1
        st[1] += received
        st[2] += faults
        slowest = max(slowest, (o.wall, k))
        if s.nonblock and s.reader != "fast" and not s.spy and o.wall >= 0.1:
            waits.append((o.cpu / o.wall, k, o.cpu, o.wall))
        if s.shutdown and o.status != 0:
            mode = ("non-blocking" if s.nonblock else "send time-out" if s.sndtimeo
                    else "blocking")
            settles.setdefault(f"{s.output} {s.shutdown} {mode}", []).append((settled, k))
        if reason:
            st[3] += 1
            print(f"FAIL run {k} {family.name}: {s.describe()}: {reason}\n"
                  f"  replay: scripts/soak --seed {seed} --run {k}", flush=True)
        k += step
        if args.run is not None or time.monotonic() - start >= args.seconds:
            break

    total = [sum(st[i] for st in stats.values()) for i in range(4)]
    for name, (runs, received, faults, failed) in stats.items():
        if not runs:
            continue
        print(f"{name:<10} {runs:>6} runs {received / (1 << 20):>10.1f} MiB "
              f"{faults:>8} faults {failed:>4} failed")
    if waits:
        worst, run, _, _ = max(waits)
        cpu, wall = sum(w[2] for w in waits), sum(w[3] for w in waits)
        print(f"non-blocking socket, slow or stalling reader, 0.1 s or longer: {len(waits)} runs, "
              f"relay CPU/wall {cpu:.2f}/{wall:.2f} s = {cpu / wall:.3f}, "
              f"worst {worst:.3f} (run {run})")
    for how, times in sorted(settles.items()):
        print(f"shut down while running, {how}: {len(times)} runs, exit after median "
              f"{statistics.median(x[0] for x in times):.3f} s, worst {max(times)[0]:.3f} s "
              f"(run {max(times)[1]})")
    print(f"runs {total[0]}, bytes relayed {total[1]}, faults injected {total[2]}, "
          f"slowest run {slowest[0]:.3f} s (run {slowest[1]}), seed {seed}, "
          f"{time.monotonic() - start:.0f} s")
    print(f"{total[0] - total[3]} passed, {total[3]} failed")
    sys.exit(1 if total[3] else 0)


if __name__ == "__main__":
    main()
