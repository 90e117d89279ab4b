# SPDX-License-Identifier: MIT
"""What scripts/demo, soak, bench and faults share: the built programs,
socket pairs of a named kind, starting a program with descriptors placed at
chosen numbers, draining a peer, one runner for a whole relay (Relay), and
the settings and log of the test send() interposer (tests/sendspy.c)."""
import fcntl
import os
import selectors
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("SOCKRELAY_BUILD", os.path.join(ROOT, "build"))
CHUNK = 32768
SO_ZEROCOPY = 60
SO_RCVBUFFORCE = 33
SO_TIMESTAMPING = 37

# Build target -> its file under the build directory.
TARGETS = {
    "sockrelay": "sockrelay",
    "sendspy": "tests/libsendspy.so",
    "bench-launch": "scripts/bench-helpers/bench-launch",
    "bench-drain": "scripts/bench-helpers/bench-drain",
}


def built(*targets, fresh=False):
    """Paths of the given targets, built first if any is missing (or always,
    with fresh, so that a measurement runs the current source)."""
    paths = [os.path.join(BUILD, TARGETS[t]) for t in targets]
    if fresh or not all(os.path.exists(p) for p in paths):
        subprocess.run([os.path.join(ROOT, "scripts", "build"), *targets], check=True,
                       env=dict(os.environ, BUILD=BUILD))
    return paths


# --- sockets -----------------------------------------------------------------

def socket_pair(kind, *, nodelay=False, nonblock=False, sndbuf=None, sndtimeo=None,
                zerocopy=False):
    """(the writer's end, the reader's end) of a fresh connection of a kind:
    unix, unix-dgram, tcp or udp, with the writer's end set up as a parent
    would hand it over. SO_ZEROCOPY is only tried, as not every kind has it."""
    if kind in ("unix", "unix-dgram"):
        mine, peer = socket.socketpair(
            socket.AF_UNIX, socket.SOCK_STREAM if kind == "unix" else socket.SOCK_DGRAM)
    elif kind == "tcp":
        listener = socket.create_server(("127.0.0.1", 0))
        mine = socket.socket()
        if nodelay:
            mine.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        mine.connect(listener.getsockname())
        peer, _ = listener.accept()
        listener.close()
    elif kind == "udp":
        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:  # room for every message, so that a slow reader drops none
            peer.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
        except OSError:
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 20)
        peer.bind(("127.0.0.1", 0))
        mine = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        mine.connect(peer.getsockname())
    else:
        raise ValueError(f"unknown socket kind {kind}")
    if sndbuf:
        mine.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, sndbuf)
    if sndtimeo:
        mine.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO,
                        struct.pack("ll", int(sndtimeo), int(sndtimeo % 1 * 1e6)))
    if zerocopy:
        try:
            mine.setsockopt(socket.SOL_SOCKET, SO_ZEROCOPY, 1)
        except OSError:
            pass
    mine.setblocking(not nonblock)
    return mine, peer


def loopback_trouble():
    """None where TCP on 127.0.0.1 works, once the loopback device is
    brought up if it was down and this process may do so (as in a fresh
    network namespace); otherwise why it does not work."""
    def trouble():
        try:
            with socket.create_server(("127.0.0.1", 0)) as listener:
                socket.create_connection(listener.getsockname(), 5).close()
        except OSError as e:
            return e.strerror or str(e)
        return None
    if trouble() is None:
        return None
    try:  # SIOCGIFFLAGS, then SIOCSIFFLAGS with IFF_UP, on a struct ifreq
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            request = bytearray(struct.pack("16sH22x", b"lo", 0))
            fcntl.ioctl(s, 0x8913, request)
            flags = struct.unpack_from("H", request, 16)[0] | 1
            fcntl.ioctl(s, 0x8914, struct.pack("16sH22x", b"lo", flags))
    except OSError:
        pass
    return trouble()


def is_datagram(kind):
    return kind in ("unix-dgram", "udp")


# --- starting a program --------------------------------------------------------

@dataclass
class Outcome:
    status: int      # exit status, or minus the signal number
    err: bytes       # all of standard error
    out: bytes       # all of standard output
    cpu: float       # user + system seconds, from wait4
    wall: float      # seconds from start to exit
    timed_out: bool  # killed at the deadline

    @property
    def lines(self):
        return self.err.decode(errors="replace").splitlines()


class Process:
    """A program started with posix_spawn, with stdin and the given
    descriptors placed at chosen numbers ({number: fd or socket}).
    Standard output and error are collected unless `fds` places something
    at 1 or 2. SIGPIPE is left at its default unless sigpipe == "ignore"
    (this Python ignores it, and the child inherits that)."""

    def __init__(self, argv, stdin=None, fds=None, env=None, sigpipe="default"):
        fds = {n: f if isinstance(f, int) else f.fileno() for n, f in (fds or {}).items()}
        held = []  # every source moved above the targets, so no dup2 overwrites one
        actions = []
        self._pipes = {}
        for number in (1, 2):
            if number not in fds:
                r, w = os.pipe()
                self._pipes[number] = r
                fds[number] = w
                held.append(w)
        if stdin is not None:
            fds[0] = stdin if isinstance(stdin, int) else stdin.fileno()
        above = max(fds) + 1
        for number, fd in sorted(fds.items()):
            high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, above)
            held.append(high)
            actions.append((os.POSIX_SPAWN_DUP2, high, number))
        sigdef = (signal.SIGPIPE,) if sigpipe == "default" else ()
        self.started = time.monotonic()
        try:
            self.pid = os.posix_spawnp(argv[0], argv, env if env is not None else os.environ,
                                      file_actions=actions, setsigdef=sigdef)
        finally:
            for fd in held:
                os.close(fd)
        self._collected = {1: bytearray(), 2: bytearray()}
        self.outcome = None

    def wait(self, deadline=600):
        """Collects the outcome; kills the program if it has not ended
        `deadline` seconds from now, which the outcome tells as timed_out."""
        if self.outcome is not None:
            return self.outcome
        end = time.monotonic() + deadline
        timed_out = False
        ended = os.pidfd_open(self.pid)  # readable once the program has ended
        with selectors.DefaultSelector() as sel:
            sel.register(ended, selectors.EVENT_READ, 0)
            for number, fd in self._pipes.items():
                sel.register(fd, selectors.EVENT_READ, number)
            while sel.get_map():
                events = sel.select(max(0.0, end - time.monotonic()))
                if not events:
                    timed_out = True
                    os.kill(self.pid, signal.SIGKILL)
                    break
                for key, _ in events:
                    data = os.read(key.fd, 65536) if key.data else b""
                    if data:
                        self._collected[key.data] += data
                    else:
                        sel.unregister(key.fd)
        os.close(ended)
        for fd in self._pipes.values():
            os.close(fd)
        _, status, usage = os.wait4(self.pid, 0)
        wall = time.monotonic() - self.started
        self.outcome = Outcome(
            os.waitstatus_to_exitcode(status), bytes(self._collected[2]),
            bytes(self._collected[1]), usage.ru_utime + usage.ru_stime, wall, timed_out)
        return self.outcome

    def signal(self, sig):
        if self.outcome is None:
            os.kill(self.pid, sig)

    def running(self):
        if self.outcome is not None:
            return False
        return os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None


def relay_argv(number):
    """sockrelay's command line for a socket at descriptor `number`."""
    return [built("sockrelay")[0], "--sockfd", str(number)]


def feed_all(fd, data):
    """Writes `data` into the pipe `fd`, then closes it; a reader that has
    gone ends the writing quietly."""
    try:
        with os.fdopen(fd, "wb") as pipe:
            pipe.write(data)
    except BrokenPipeError:
        pass


class Relay:
    """sockrelay at descriptor `number` on `pair` (the parent's end, the
    peer), its input `data` in a file or fed through a pipe by
    `feed(fd, data)`, while a thread calls `read(peer, ended)` to drain the
    peer; `ended` is set once sockrelay has ended. The parent's copy of the
    socket is closed at once unless `keep`. wait() gives sockrelay's
    outcome, and `arrived` what `read` returned."""

    def __init__(self, pair, data, read, *, number=3, input="pipe", feed=feed_all, env=None,
                 sigpipe="default", keep=False):
        self.mine, self.peer = pair
        self.ended = threading.Event()
        self.arrived = None
        self._reader = threading.Thread(target=self._read, args=(read,), daemon=True)
        self._reader.start()
        if input == "file":
            stdin = tempfile.TemporaryFile(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
            stdin.write(data)
            stdin.seek(0)
        else:
            r, w = os.pipe()
            stdin = os.fdopen(r, "rb")
        self.process = Process(relay_argv(number), stdin=stdin, fds={number: self.mine}, env=env,
                               sigpipe=sigpipe)
        stdin.close()
        if not keep:
            self.mine.close()
        self._feeder = None
        if input == "pipe":
            self._feeder = threading.Thread(target=feed, args=(w, data), daemon=True)
            self._feeder.start()

    def _read(self, read):
        self.arrived = read(self.peer, self.ended)

    def wait(self, deadline, read_deadline=None):
        """sockrelay's outcome, killed if it runs `deadline` seconds from
        now; then the reader is given `read_deadline` (default: as long)."""
        outcome = self.process.wait(deadline)
        self.ended.set()
        self._reader.join(deadline if read_deadline is None else read_deadline)
        if self._feeder:
            self._feeder.join(timeout=5)
        if not self._reader.is_alive() and self.peer.fileno() >= 0:
            self.peer.close()
        return outcome


# --- the far end ---------------------------------------------------------------

def drain(peer, step=1 << 20, pause=0.0, digest=None, deadline=600):
    """Reads a stream peer to its end in reads of at most `step` bytes with
    `pause` seconds between them; returns the byte count, feeding `digest`
    (a hashlib object) if given. Raises TimeoutError if the end has not come
    `deadline` seconds from now."""
    end = time.monotonic() + deadline
    count = 0
    while True:
        peer.settimeout(max(0.001, end - time.monotonic()))
        try:
            data = peer.recv(step)
        except socket.timeout:
            raise TimeoutError(f"no end of stream within {deadline} s, {count} bytes in") from None
        if not data:
            return count
        count += len(data)
        if digest is not None:
            digest.update(data)
        if pause:
            time.sleep(pause)


# --- the test send() interposer ------------------------------------------------

@dataclass
class SpyCall:
    address: int
    length: int
    flags: int
    result: int
    error: int
    injected: bool


def spy_env(log, settings=(), env=None):
    """The environment that loads the interposer, logging to `log`, with
    settings such as "CAP=100" or "SCRIPT=EAGAIN*3"."""
    env = dict(os.environ if env is None else env)
    env.update(LD_PRELOAD=built("sendspy")[0], SENDSPY_LOG=log,
               # ASan wants its runtime first; the interposer only needs to
               # come before libc.
               ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    for item in settings:
        key, value = item.split("=", 1)
        env["SENDSPY_" + key] = value
    return env


def read_spy_log(path):
    calls = []
    with open(path) as f:
        for line in f:
            address, length, flags, result, error, injected = line.split()
            calls.append(SpyCall(int(address, 16), int(length), int(flags, 16), int(result),
                                 int(error), injected == "1"))
    return calls

