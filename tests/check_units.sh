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
set -eu
mode=$1 examples=$2 program=${3:-}
need() { command -v "$1" >/dev/null 2>&1 || { echo "skipped: $1 is not installed"; exit 77; }; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$examples/sockrelay.socket" "$examples/sockrelay@.service" "$tmp"
service=$tmp/sockrelay@.service

case $mode in
verify)
  need systemd-analyze
  sed -i "s|^ExecStart=/usr/bin/sockrelay |ExecStart=$program |" "$service"
  out=$(cd "$tmp" && systemd-analyze verify ./sockrelay.socket ./sockrelay@.service 2>&1) ||
    { echo "$out"; exit 1; }
  [ -z "$out" ] || { echo "systemd-analyze verify said:"; echo "$out"; exit 1; } ;;
security)
  need systemd-analyze
  # The threshold is on a scale of 100: 10 is an exposure of 1.0.
  if out=$(systemd-analyze security --offline=yes --threshold=10 "$service" 2>&1); then
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
     "sh", "-c", f'exec "$0" --sockfd 3 < "$1"', program, data],
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
*) echo "usage: check_units.sh verify|security|activate EXAMPLES [PROGRAM]"; exit 2 ;;
esac
