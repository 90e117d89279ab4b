# SPDX-License-Identifier: MIT
"""Runs inside the container that `check_units.sh boot` boots, as a oneshot
unit once systemd is up: enables sockrelay.socket as README says, serves the
data file to clients of every kind, and reads each instance's outcome from
the journal. Writes its findings to /check/log and "passed" or "failed" to
/check/result, then powers the container off. Every wait has a deadline."""
import hashlib
import socket
import subprocess
import threading
import time

DATA = "/srv/check/data"
RUNTIME_MAX = 5  # the drop-in's RuntimeMaxSec
log = open("/check/log", "w")
failures = []


def say(line):
    print(line, file=log, flush=True)


def check(ok, what):
    say(("ok: " if ok else "FAILED: ") + what)
    if not ok:
        failures.append(what)


def journal(unit):
    return subprocess.run(["journalctl", "--no-pager", "-o", "cat", "-u", unit],
                          capture_output=True, text=True, timeout=30).stdout.splitlines()


def instance(client):
    """The instance that serves a connected client: systemd names it after
    both ends of the connection."""
    return f"sockrelay@*-127.0.0.1:{client.getsockname()[1]}.service"


def ended(unit, deadline):
    """The journal lines of `unit` once systemd has logged its end."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        lines = journal(unit)
        if any("Deactivated successfully" in l or "Failed with result" in l for l in lines):
            return lines
        time.sleep(0.1)
    return journal(unit) + [f"(no end within {deadline} s)"]


def connect(deadline=10):
    end = time.monotonic() + deadline
    while True:
        try:
            return socket.create_connection(("127.0.0.1", 9000), timeout=30)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


def fetch():
    """SHA-256 of everything one client receives; the socket's time-out
    bounds each wait."""
    with connect() as s:
        digest, size = hashlib.sha256(), 0
        while chunk := s.recv(1 << 16):
            digest.update(chunk)
            size += len(chunk)
    return digest.hexdigest(), size


def main():
    want = hashlib.sha256(open(DATA, "rb").read()).hexdigest()
    enable = subprocess.run(["systemctl", "enable", "--now", "sockrelay.socket"],
                            capture_output=True, text=True, timeout=30)
    check(enable.returncode == 0, f"systemctl enable --now sockrelay.socket {enable.stderr.strip()}")

    for client in range(1, 4):
        digest, size = fetch()
        check(digest == want, f"client {client} in turn: {size} bytes, whole file: {digest == want}")
    results = [None] * 20
    def one(i):
        try:
            results[i] = fetch()[0]
        except OSError as e:
            results[i] = str(e)
    threads = [threading.Thread(target=one, args=(i,)) for i in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    check(results.count(want) == 20, f"20 clients at once: {results.count(want)} got the whole file")

    with connect() as s:
        s.recv(10)
        leaver = instance(s)
    lines = ended(leaver, 10)
    say("early leaver's journal: " + " | ".join(lines))
    check(any("Deactivated successfully" in l for l in lines), "an early leaver's instance is not failed")

    subprocess.run(["mv", DATA, DATA + ".away"], check=True, timeout=10)
    with connect() as s:
        s.settimeout(10)
        got = s.recv(1)
        missing = instance(s)
    subprocess.run(["mv", DATA + ".away", DATA], check=True, timeout=10)
    lines = ended(missing, 10)
    say("missing file's journal: " + " | ".join(lines))
    check(got == b"" and any("status=208/STDIN" in l for l in lines)
          and any("Failed with result 'exit-code'" in l for l in lines),
          "a missing data file fails its instance with 208/STDIN and sends nothing")

    start = time.monotonic()
    with connect() as s:  # and never reads
        idle = instance(s)
        lines = ended(idle, RUNTIME_MAX + 15)
    took = time.monotonic() - start
    say("idle client's journal: " + " | ".join(lines))
    check(any("Failed with result 'timeout'" in l for l in lines) and took < RUNTIME_MAX + 5,
          f"an idle client's instance ends at RuntimeMaxSec ({took:.1f} s)")
    time.sleep(0.5)  # the failed instance is collected once it is fully stopped
    failed = subprocess.run(["systemctl", "--failed", "--plain", "--no-legend"],
                            capture_output=True, text=True, timeout=30).stdout.strip()
    check(failed == "", f"systemctl --failed is empty: {failed!r}")

    # Every line any instance logged, but the missing file's own, must be
    # one of these: sockrelay's announcement and its write error for a client
    # that left, and systemd's start, end and time-out lines. Inside a container systemd
    # may also note that it could not set up the instance's own loopback
    # for PrivateNetwork=, or that the host offers no BPF firewall for
    # IPAddressDeny=; those come from the container, not from the unit, and
    # are allowed by name.
    expected = ("outputting to sockfd device 3", "write error: -1 104 sockfd:3 ERROR_ABORT",
                "write error: -1 32 sockfd:3 ERROR_ABORT", "Started ", "Deactivated successfully",
                "Consumed ", "Main process exited, code=exited, status=255/EXCEPTION",
                "Service reached runtime time limit", "Failed with result 'timeout'",
                "loopback", "BPF/cgroup firewalling", "first unit using IP firewalling")
    missing_lines = set(journal(missing))
    odd = [l for l in journal("sockrelay@*")
           if l not in missing_lines and not any(e in l for e in expected)]
    check(not odd, "no instance was refused by the sandbox" + "".join(": " + l for l in odd))


try:
    main()
except Exception as e:  # noqa: BLE001 - any error is a failed check
    failures.append(repr(e))
    say(f"FAILED: {e!r}")
finally:
    open("/check/result", "w").write("failed" if failures else "passed")
    log.close()
    subprocess.run(["systemctl", "poweroff", "--no-block"], timeout=30)
