#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A Python parent: sockrelay writes into one end of a socketpair and the
parent reads the other end. Runs sockrelay from PATH, or the program that
the environment variable SOCKRELAY names."""
import os
import socket
import subprocess
import sys
import threading

SOCKRELAY = os.environ.get("SOCKRELAY", "sockrelay")
sample = os.urandom(3_000_000)
ours, theirs = socket.socketpair()

# --- the part to copy: hand `theirs` over and feed the data ---
try:
    # pass_fds makes the descriptor inheritable and keeps its number.
    relay = subprocess.Popen([SOCKRELAY, "--sockfd", str(theirs.fileno())],
                             stdin=subprocess.PIPE, pass_fds=[theirs.fileno()])
except OSError as e:  # not found, or not executable
    sys.exit(f"{SOCKRELAY}: {e.strerror}; put sockrelay on PATH or name it in SOCKRELAY")
theirs.close()  # otherwise our own copy keeps the stream from ending
received = bytearray()
reader = threading.Thread(
    target=lambda: [received.extend(b) for b in iter(lambda: ours.recv(65536), b"")])
reader.start()
try:
    relay.stdin.write(sample)
    relay.stdin.close()  # end of input: sockrelay sends the last chunk and exits
except BrokenPipeError:
    pass  # sockrelay ended early; its status says how
status = relay.wait()  # 0: the socket accepted every byte
reader.join()
# --- end of the part to copy ---

if status != 0 or received != sample:
    sys.exit(f"python: sockrelay ended with {status}; {len(received)} bytes arrived")
print(f"python: {len(received)} bytes arrived intact")
