#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A shell parent: bash opens a TCP connection as descriptor 3 with its
# /dev/tcp redirection, and sockrelay inherits it and relays a file into
# it. Runs sockrelay from PATH, or the program that the environment
# variable SOCKRELAY names.
set -euo pipefail
SOCKRELAY=${SOCKRELAY:-sockrelay}
command -v "$SOCKRELAY" >/dev/null ||
  { echo "$SOCKRELAY: not found or not executable; put sockrelay on PATH or name it in SOCKRELAY" >&2; exit 1; }
dir=$(mktemp -d)
listener=
trap '[ -z "$listener" ] || kill "$listener" 2>/dev/null || true; rm -rf "$dir"' EXIT
head -c 3000000 /dev/urandom > "$dir/sample"

# A local listener that stores what arrives (any TCP server would do); it
# gives up after a minute without a connection.
python3 - "$dir" <<'PY' &
import os, socket, sys
d = sys.argv[1]
srv = socket.create_server(("127.0.0.1", 0))
srv.settimeout(60)
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

# The part to copy. Open the connection as descriptor 3 (bash's own two
# lines about a refused connect are replaced by one), start sockrelay,
# which inherits it, then close the shell's copy, so that the listener
# sees end of file. Status 0 means the socket accepted every byte.
{ exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null ||
  { echo "bash: cannot connect to 127.0.0.1:$port" >&2; exit 1; }
status=0
"$SOCKRELAY" --sockfd 3 < "$dir/sample" || status=$?
exec 3>&-
[ "$status" -eq 0 ] || { echo "bash: sockrelay ended with status $status" >&2; exit 1; }

wait "$listener"
cmp "$dir/sample" "$dir/received"
echo "bash: $(wc -c < "$dir/received") bytes arrived intact"
