#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the socket-activated unit pair in examples/ against the built
# program; skips with 77 where the systemd tool it needs is missing.
#   check_units.sh verify   EXAMPLES PROGRAM: systemd-analyze verify says
#                           nothing, once ExecStart names PROGRAM
#   check_units.sh security EXAMPLES: the service's offline exposure is 1.0
#                           ("SAFE") or less
#   check_units.sh activate EXAMPLES PROGRAM: the service's command line under
#                           systemd-socket-activate --accept serves a whole
#                           file to each of two clients in turn, and a client
#                           that leaves after a few bytes disturbs neither
#   check_units.sh boot     EXAMPLES PROGRAM: a container booted with a real
#                           systemd runs the pair as shipped, PROGRAM as
#                           /usr/bin/sockrelay, with a drop-in for the data
#                           path and a 5 s RuntimeMaxSec; see boot_check.py.
#                           Needs root, mmdebstrap and systemd-nspawn; the
#                           Debian root is built once, into the build tree
#                           beside PROGRAM, which needs the Debian archive.
# A skip gives its reason on one line of plain text.
set -eu
mode=$1 examples=$2 program=${3:-}
need() { command -v "$1" >/dev/null 2>&1 || { echo "skipped: $1 is not installed"; exit 77; }; }
plain() { sed 's/\x1b\[[0-9;]*m//g' | tr -d '\r'; }  # no colours, no carriage returns
# systemd-analyze wants /run/systemd/, which only root may make where no
# systemd runs; another user gets a /run of its own in a user namespace.
analyze() {
  if [ -d /run/systemd ] || [ "$(id -u)" -eq 0 ]; then
    systemd-analyze "$@"
  elif unshare -Urm true 2>/dev/null; then
    unshare -Urm sh -c 'mount -t tmpfs tmpfs /run && exec systemd-analyze "$@"' sh "$@"
  else
    echo "skipped: this host cannot run systemd-analyze for this user: there is no" \
      "/run/systemd/, only root may make it, and user namespaces are refused"
    exit 77
  fi
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$examples/sockrelay.socket" "$examples/sockrelay@.service" "$tmp"
service=$tmp/sockrelay@.service

case $mode in
verify)
  need systemd-analyze
  sed -i "s|^ExecStart=/usr/bin/sockrelay |ExecStart=$program |" "$service"
  out=$(cd "$tmp" && analyze verify ./sockrelay.socket ./sockrelay@.service 2>&1) ||
    { echo "$out"; exit 1; }
  [ -z "$out" ] || { echo "systemd-analyze verify said:"; echo "$out"; exit 1; } ;;
security)
  need systemd-analyze
  # The threshold is on a scale of 100: 10 is an exposure of 1.0.
  if out=$(analyze security --offline=yes --threshold=10 "$service" 2>&1); then
    echo "$out" | tail -n 1
  else
    echo "$out"; exit 1
  fi ;;
activate)
  need systemd-socket-activate
  need python3
  command=$(sed -n 's|^ExecStart=/usr/bin/sockrelay ||p' "$service")
  [ "$command" = "--sockfd 3" ] || { echo "unexpected ExecStart arguments: $command"; exit 1; }
  head -c 1000003 /dev/urandom > "$tmp/data"
  python3 - "$program" "$tmp/data" <<'PY'
import os, signal, socket, subprocess, sys, time

program, data = sys.argv[1], sys.argv[2]
want = open(data, "rb").read()
with socket.socket() as probe:  # a free loopback port
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
server = subprocess.Popen(
    ["systemd-socket-activate", "--accept", "-l", f"127.0.0.1:{port}",
     "sh", "-c", 'exec "$0" --sockfd 3 < "$1"', program, data],
    start_new_session=True)

def connect(deadline=10):
    end = time.monotonic() + deadline
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=deadline)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                sys.exit(f"nothing listened on port {port} within {deadline} s")
            time.sleep(0.05)

def whole(client):
    with connect() as s:
        got = bytearray()
        while chunk := s.recv(1 << 16):  # the socket's time-out bounds each wait
            got += chunk
    if got != want:
        sys.exit(f"client {client}: {len(got)} bytes, expected the file's {len(want)}")
    print(f"client {client}: the whole file, {len(got)} bytes")

try:
    whole(1)
    with connect() as s:
        s.recv(10)  # then leaves, with the rest unread
    print("client 2: left after a few bytes")
    whole(3)
finally:
    os.killpg(server.pid, signal.SIGTERM)
    server.wait(10)
PY
  ;;
boot)
  need mmdebstrap
  need systemd-nspawn
  [ "$(id -u)" -eq 0 ] || { echo "skipped: this host cannot boot a container for this user: that needs root"; exit 77; }
  # systemd-nspawn mounts a tmpfs in a mount namespace of its own, which a
  # container without CAP_SYS_ADMIN (podman's default) refuses: found out
  # before the slow part, the Debian root.
  if ! refused=$(unshare --mount sh -c "mount -t tmpfs tmpfs '$tmp'" 2>&1); then
    echo "skipped: this host cannot start a container: a tmpfs mount in a mount namespace of its own is refused ($(echo "$refused" | tail -n 1 | plain))"
    exit 77
  fi
  here=$(cd "$(dirname "$0")" && pwd)
  program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
  root=$(dirname "$program")/units-root
  if [ ! -x "$root/usr/bin/python3" ]; then
    rm -rf "$root" "$root.new"
    suite=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)
    echo "building a $suite root for the container in $root (once)"
    if ! mmdebstrap --quiet --variant=minbase --include=systemd,python3 "$suite" "$root.new" \
        </dev/null >"$tmp/mmdebstrap.log" 2>&1; then
      rm -rf "$root.new"
      echo "skipped: this host cannot build a $suite root from the Debian archive ($(grep -m 1 '^E: ' "$tmp/mmdebstrap.log" | plain))"
      exit 77
    fi
    mv "$root.new" "$root"
  fi
  mkdir "$tmp/check" "$tmp/srv"
  cp "$here/boot_check.py" "$tmp/check/"
  head -c 5000000 /dev/urandom > "$tmp/srv/data"
  printf '[Service]\nStandardInput=file:/srv/check/data\nRuntimeMaxSec=5\n' > "$tmp/test.conf"
  printf '[Service]\nType=oneshot\nExecStart=/usr/bin/python3 /check/boot_check.py\n' \
    > "$tmp/boot-check.service"
  # systemd-nspawn keeps runtime directories of its own here; removed again
  # if this run made them.
  run=/run/systemd/nspawn
  [ -d "$run" ] && made_run=no || made_run=yes
  # The container's root is an overlay on the cached one, with its own
  # network: nothing it does reaches the cache or the host's ports.
  # systemd-nspawn stops it cleanly on SIGTERM; the check powers it off.
  status=0
  timeout -k 10 240 systemd-nspawn --quiet --keep-unit --register=no --private-network \
    --volatile=overlay -D "$root" -M "sockrelay-check-$$" \
    --bind-ro="$program:/usr/bin/sockrelay" \
    --bind-ro="$service:/etc/systemd/system/sockrelay@.service" \
    --bind-ro="$tmp/sockrelay.socket:/etc/systemd/system/sockrelay.socket" \
    --bind-ro="$tmp/test.conf:/etc/systemd/system/sockrelay@.service.d/test.conf" \
    --bind-ro="$tmp/boot-check.service:/etc/systemd/system/boot-check.service" \
    --bind="$tmp/check:/check" --bind="$tmp/srv:/srv/check" \
    -b systemd.wants=boot-check.service </dev/null >"$tmp/boot.log" 2>&1 || status=$?
  # A check that did not pass is told apart from a host that cannot offer
  # what it needs by a container that only tries its loopback network: in a
  # container without CAP_NET_ADMIN, a nested one gets no loopback. The
  # reason quotes what failed: the container's start, or its network.
  cannot=
  if [ "$(cat "$tmp/check/result" 2>/dev/null)" != passed ]; then
    systemd-nspawn --quiet --keep-unit --register=no --private-network --volatile=overlay \
      --console=pipe -D "$root" /usr/bin/python3 -c 'import socket
with socket.create_server(("127.0.0.1", 0)) as s:
    socket.create_connection(s.getsockname(), 5).close()' </dev/null >"$tmp/probe.log" 2>&1 ||
      { cannot=$(tail -n 1 "$tmp/probe.log" | plain); cannot=${cannot:-it did not start}; }
  fi
  [ "$made_run" = no ] || rmdir "$run/locks" "$run/propagate" "$run" 2>/dev/null || true
  if [ -n "$cannot" ] && grep -q '^Traceback' "$tmp/probe.log"; then
    echo "skipped: this host cannot give a container a working loopback network ($cannot)"
    exit 77
  elif [ -n "$cannot" ]; then
    echo "skipped: this host cannot start a container ($cannot)"
    exit 77
  fi
  cat "$tmp/check/log" 2>/dev/null || true
  if [ "$(cat "$tmp/check/result" 2>/dev/null)" != passed ]; then
    echo "the check did not pass (systemd-nspawn exited with $status); the console said:"
    tail -n 30 "$tmp/boot.log"
    exit 1
  fi ;;
*) echo "usage: check_units.sh verify|security|activate|boot EXAMPLES [PROGRAM]"; exit 2 ;;
esac
