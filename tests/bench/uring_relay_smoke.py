#!/usr/bin/env python3
"""One short run of corvane-client through bench/uring_relay: every member is admitted
and every datagram of the speaker reaches every listener, and the relay's counters
line agrees. Exits 77 (skipped) where the kernel lacks what the relay needs, which it
says with exit status 3.

    uring_relay_smoke.py URING_RELAY CORVANE_CLIENT [RELAY_OPTION...]
"""

import json
import os
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
import corvane_harness as harness  # noqa: E402

SKIP = 77
LISTENERS = 3


def main(relay_bin, client_bin, relay_options):
    with tempfile.TemporaryDirectory(prefix="uring-smoke-") as work:
        roster = os.path.join(work, "users.txt")
        subprocess.run([client_bin, "--generate", f"1,1,{LISTENERS}", "--write-users", roster],
                       check=True, stdout=subprocess.DEVNULL, timeout=30)
        address = f"127.0.0.1:{harness.free_port(socket.SOCK_DGRAM)}"
        relay = subprocess.Popen([relay_bin, "--listen", address, "--users", roster,
                                  "--max-seconds", "60", *relay_options],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            client = subprocess.run(
                [client_bin, "--server", address, "--users", roster, "--duration", "1",
                 "--rate", "200", "--report-ms", "0", "--drain-ms", "300", "--quiet", "--json"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        finally:
            if relay.poll() is None:
                relay.terminate()
            out, err = relay.communicate(timeout=30)
        if relay.returncode == 3:
            print(f"skipped: {err.strip()}")
            return SKIP
        if relay.returncode != 0:
            print(f"uring_relay exited with {relay.returncode}: {err.strip()}")
            return 1
        result = json.loads(client.stdout)
        total = result["total"]
        speaker_sent = sum(u["sent"] for u in result["users"] if u["role"] == "speaker")
        counters = dict(zip(out.split()[0::2], map(int, out.split()[1::2])))
        problems = []
        if not result["ok"] or not all(u["admitted"] for u in result["users"]):
            problems.append("not every member admitted, or the client saw a problem")
        if speaker_sent == 0 or total["received"] != LISTENERS * speaker_sent:
            problems.append(f"listeners received {total['received']} of "
                            f"{LISTENERS} x {speaker_sent}")
        # The speaker's handshake datagrams are forwarded too, as baseline_relay does.
        if counters.get("forwarded", 0) < LISTENERS * speaker_sent or counters.get("dropped"):
            problems.append(f"relay counters: {out.strip()}")
        for problem in problems:
            print(problem)
        return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
