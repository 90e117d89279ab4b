#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A shell parent: bash opens a TCP connection as descriptor 3 with its
# /dev/tcp redirection, and sockrelay, started with that redirection,
# inherits it and relays a file into it.
set -euo pipefail
SOCKRELAY=${SOCKRELAY:-sockrelay}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c 3000000 /dev/urandom > "$dir/sample"

# A local listener that stores what arrives (any TCP server would do).
python3 - "$dir" <<'PY' &
import socket, sys
d = sys.argv[1]
srv = socket.create_server(("127.0.0.1", 0))
open(d + "/port.tmp", "w").write(str(srv.getsockname()[1]))
__import__("os").rename(d + "/port.tmp", d + "/port")
conn, _ = srv.accept()
with open(d + "/received", "wb") as out:
    while data := conn.recv(65536):
        out.write(data)
PY
listener=$!
for _ in $(seq 100); do [ -e "$dir/port" ] && break; sleep 0.05; done
port=$(cat "$dir/port")

# The redirection applies to sockrelay alone: bash closes its own copy once
# sockrelay has started, so the listener sees end of file when it exits.
# Nagle's algorithm stays on, which suits sockrelay's 32 KiB writes.
"$SOCKRELAY" --sockfd 3 < "$dir/sample" 3<>"/dev/tcp/127.0.0.1/$port"
wait "$listener"
cmp "$dir/sample" "$dir/received"
echo "bash: $(wc -c < "$dir/received") bytes arrived intact"
