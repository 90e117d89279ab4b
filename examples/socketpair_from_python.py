#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A Python parent: sockrelay writes into one end of a socketpair and the
parent reads the other end."""
import os
import socket
import subprocess
import threading

SOCKRELAY = os.environ.get("SOCKRELAY", "sockrelay")
sample = os.urandom(3_000_000)

ours, theirs = socket.socketpair()
# pass_fds makes the descriptor inheritable and keeps its number in the child.
relay = subprocess.Popen([SOCKRELAY, "--sockfd", str(theirs.fileno())],
                         stdin=subprocess.PIPE, pass_fds=[theirs.fileno()])
theirs.close()  # otherwise our own copy keeps the stream from ending

received = bytearray()
reader = threading.Thread(
    target=lambda: [received.extend(b) for b in iter(lambda: ours.recv(65536), b"")])
reader.start()
relay.stdin.write(sample)
relay.stdin.close()  # end of input: sockrelay sends the last chunk and exits
status = relay.wait()
reader.join()

assert status == 0, f"sockrelay exited with {status}"
assert received == sample, "the stream differs"
print(f"python: {len(received)} bytes arrived intact")
