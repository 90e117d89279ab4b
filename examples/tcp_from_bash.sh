#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A shell parent: bash opens a TCP connection as descriptor 3 with its
# /dev/tcp redirection, and sockrelay, started with that redirection,
# inherits it and relays a file into it. Runs sockrelay from PATH, or the
# program that the environment variable SOCKRELAY names.
set -euo pipefail
SOCKRELAY=${SOCKRELAY:-sockrelay}
command -v "$SOCKRELAY" >/dev/null ||
  { echo "$SOCKRELAY: not found; put sockrelay on PATH or name it in SOCKRELAY" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c 3000000 /dev/urandom > "$dir/sample"

# A local listener that stores what arrives (any TCP server would do).
python3 - "$dir" <<'PY' &
import os, socket, sys
d = sys.argv[1]
srv = socket.create_server(("127.0.0.1", 0))
open(d + "/port.tmp", "w").write(str(srv.getsockname()[1]))
os.rename(d + "/port.tmp", d + "/port")
conn, _ = srv.accept()
with open(d + "/received", "wb") as out:
    while data := conn.recv(65536):
        out.write(data)
PY
listener=$!
for _ in $(seq 100); do [ -e "$dir/port" ] && break; sleep 0.05; done
[ -e "$dir/port" ] || { echo "bash: the listener did not start" >&2; exit 1; }
port=$(cat "$dir/port")

# The part to copy. The redirection applies to sockrelay alone, so the
# listener sees end of file when sockrelay exits; status 0 means the socket
# accepted every byte.
"$SOCKRELAY" --sockfd 3 < "$dir/sample" 3<>"/dev/tcp/127.0.0.1/$port"

wait "$listener"
cmp "$dir/sample" "$dir/received"
echo "bash: $(wc -c < "$dir/received") bytes arrived intact"
