# SPDX-License-Identifier: MIT
"""Relays a sample through a real TCP connection on 127.0.0.1, with Python
as the parent; scripts/demo installs and builds first, then runs this.

    scripts/demo [SIZE]

The parent opens the connection, hands the client socket to sockrelay at
descriptor 3 and pipes the sample into its standard input while a thread
reads the other end. Both sides print their byte count and SHA-256, then
the exit status of sockrelay is shown. Whatever hangs, the demo gives up
after a minute with one line saying what it waited for."""
import hashlib
import random
import sys
import time

import relaykit

DEADLINE = 60


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 10 * 1024 * 1024 + 12345
    trouble = relaykit.loopback_trouble()
    if trouble:
        sys.exit(f"demo: this host's loopback network does not work ({trouble})")
    end = time.monotonic() + DEADLINE
    sample = random.Random(42).randbytes(size)
    digest = hashlib.sha256()

    def receive(peer, ended):
        try:
            return relaykit.drain(peer, digest=digest, deadline=DEADLINE)
        except TimeoutError:
            return None

    relay = relaykit.Relay(relaykit.socket_pair("tcp"), sample, receive, number=3)
    outcome = relay.wait(DEADLINE, read_deadline=max(0.0, end - time.monotonic()))
    sys.stderr.write(outcome.err.decode(errors="replace"))
    if outcome.timed_out:
        sys.exit(f"demo: sockrelay still running after {DEADLINE} s; killed")
    if relay.arrived is None:
        sys.exit(f"demo: the receiver saw no end of stream within {DEADLINE} s")

    sent = hashlib.sha256(sample).hexdigest()
    print(f"sent      {size:>10} bytes  sha256 {sent}")
    print(f"received  {relay.arrived:>10} bytes  sha256 {digest.hexdigest()}")
    match = relay.arrived == size and digest.hexdigest() == sent
    print(f"sockrelay exit status {outcome.status}; "
          + ("the streams match" if match else "THE STREAMS DIFFER"))
    sys.exit(0 if outcome.status == 0 and match else 1)


if __name__ == "__main__":
    main()
