#!/usr/bin/env python3
"""Cost of a cascade hop: one room of 1 speaker and N listeners (200) on one
corvane-sfu-server, against the same room spread by corvane-gateway over two servers linked
both ways (the speaker and half the listeners on the first, the other half on the second),
under the same corvane-client load, alternated one, two, one, two in one run.

Figures: the servers' CPU (all of them, user + system) per datagram the listeners received,
and the latency p50 / p99 of the listeners on the speaker's server against those one hop
away (medians over the listeners' own percentiles, then over the repetitions).

  bench/cascade_hop.py --build build/release --out bench/results [--reps 3] [--duration 3]
                       [--rate 200] [--listeners 200]

Every process listens on loopback only (servers on 127.0.1.i, their cascade interfaces on
127.0.2.i), runs for a bounded time and is stopped by its PID.
"""

import argparse
import datetime
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import forwarding as fw  # noqa: E402  (process helpers and the machine's description)
from forwarding import harness  # noqa: E402  (scripts/corvane_harness.py)

PAYLOAD = 120


class Deployment:
    """A gateway and `count` servers; the room placed with load (one) or spread (two)."""

    def __init__(self, bins, work, count):
        self.bins, self.work, self.count = bins, work, count
        self.gateway = None
        self.servers = []

    def _wait_for(self, predicate, what, seconds=30):
        self.scripted.wait_for(predicate, what, seconds)

    def _send(self, line):
        self.scripted.send(line)

    def start(self, roster_lines):
        gateway_port = fw.free_port(socket.SOCK_STREAM)
        port = fw.free_port(socket.SOCK_DGRAM)
        self.addresses = [f"127.0.1.{i + 1}:{port}" for i in range(self.count)]
        self.scripted = harness.ScriptedGateway(
            self.bins["gateway"], gateway_port,
            os.path.join(self.work, f"gateway{self.count}.out"), fw.spawn)
        self.gateway = self.scripted.proc
        self._wait_for(lambda out: "listening on" in out, "listening line")
        self._send(f"wait-servers {self.count} 20000")
        for i in range(self.count):
            logs = os.path.join(self.work, f"logs{self.count}-{i + 1}")
            os.makedirs(logs, exist_ok=True)
            conf = harness.write_server_config(
                os.path.join(logs, "sfu.conf"), logs, gateway_port, port,
                listen=f"127.0.1.{i + 1}", extra=f"packet_listen_rec_eth = 127.0.2.{i + 1}\n")
            self.servers.append(fw.spawn([self.bins["server"], "-c", conf],
                                         stdout=subprocess.DEVNULL,
                                         stderr=open(os.path.join(logs, "stderr"), "a")))
        self._wait_for(lambda out: "servers registered" in out, "registration")
        self.roster = os.path.join(self.work, f"room{self.count}.txt")
        with open(self.roster, "w") as f:
            f.write(roster_lines(self.addresses))
        if self.count == 1:
            self._send(f"load {self.roster}")
            self._wait_for(lambda out: out.count(" result 0 ") >= 1, "create-room answer")
        else:
            self._send(f"spread {self.roster} chain")
            self._wait_for(lambda out: out.count(" result 0 ") >= self.count + 2 * (self.count - 1),
                           "answers to spread")
            # The links answer each other within the servers' 100 ms tick.
            time.sleep(0.5)

    def cpu_seconds(self):
        return sum(fw.cpu_seconds(server.pid) for server in self.servers)

    def stop(self):
        for server in self.servers:
            fw.stop(server)
        if self.gateway is not None:
            self.scripted.stop(fw.stop)


def roster_for(listeners, count):
    """Speaker 1000 on the first server; listeners taking turns over the servers."""
    def lines(addresses):
        text = f"room 1 user 1000 speaker tok-1000 server={addresses[0]}\n"
        for i in range(listeners):
            user = 1001 + i
            text += f"room 1 user {user} listener tok-{user} server={addresses[i % count]}\n"
        return text
    return lines


def run(bins, deployment, args):
    cpu_before = deployment.cpu_seconds()
    cmd = [bins["client"], "--server", deployment.addresses[0], "--users", deployment.roster,
           "--duration", str(args.duration), "--rate", str(args.rate), "--size", str(PAYLOAD),
           "--report-ms", "0", "--drain-ms", "300", "--threads", "2", "--quiet", "--json"]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         timeout=args.duration + 120, preexec_fn=fw._die_with_parent)
    cpu = deployment.cpu_seconds() - cpu_before
    result = json.loads(out.stdout)
    home = {}
    with open(deployment.roster) as f:
        for line in f:
            words = line.split()
            server = next(w for w in words if w.startswith("server="))[len("server="):]
            home[int(words[3])] = deployment.addresses.index(server)
    by_hops = {}
    received = 0
    lost = 0
    for user in result["users"]:
        if user["role"] != "listener":
            continue
        received += user["received"]
        lost += user["lost"]
        by_hops.setdefault(home[user["user"]], []).append(user["latency_ms"])
    latency = {hops: {"p50": statistics.median(l["p50"] for l in lats),
                      "p99": statistics.median(l["p99"] for l in lats)}
               for hops, lats in by_hops.items()}
    return {"cpu_s": cpu, "received": received, "lost": lost,
            "cpu_us_per_datagram": cpu / max(received, 1) * 1e6, "latency": latency}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--out", required=True, help="directory for the results")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--duration", type=float, default=3.0)
    parser.add_argument("--rate", type=int, default=200, help="speaker datagrams per second")
    parser.add_argument("--listeners", type=int, default=200)
    args = parser.parse_args()
    bins = {"server": os.path.join(args.build, "src", "corvane-sfu-server"),
            "gateway": os.path.join(args.build, "tools", "corvane-gateway"),
            "client": os.path.join(args.build, "tools", "corvane-client")}
    runs = {1: [], 2: []}
    with tempfile.TemporaryDirectory(prefix="corvane-hop-") as work:
        for rep in range(args.reps):
            for count in (1, 2):
                deployment = Deployment(bins, work, count)
                try:
                    deployment.start(roster_for(args.listeners, count))
                    runs[count].append(run(bins, deployment, args))
                finally:
                    deployment.stop()
                r = runs[count][-1]
                fw.log(f"rep {rep + 1}, {count} server(s): {r['cpu_us_per_datagram']:.2f} us CPU "
                       f"per datagram, lost {r['lost']}, latency {r['latency']}")

    def med(count, pick):
        return statistics.median(pick(r) for r in runs[count])

    one_cpu = med(1, lambda r: r["cpu_us_per_datagram"])
    two_cpu = med(2, lambda r: r["cpu_us_per_datagram"])
    lat = {(count, hops, p): med(count, lambda r, h=hops, q=p: r["latency"][h][q])
           for count, hops in ((1, 0), (2, 0), (2, 1)) for p in ("p50", "p99")}
    report = {"date": datetime.datetime.now().isoformat(timespec="seconds"),
              "machine": fw.machine(), "args": vars(args), "runs": runs}
    stem = os.path.join(args.out, "cascade_hop")
    with open(stem + ".json", "w") as f:
        json.dump(report, f, indent=1, default=str)
    m = report["machine"]
    text = f"""# Cost of a cascade hop

1 speaker -> {args.listeners} listeners at {args.rate} datagrams/s ({PAYLOAD}-byte payloads),
{args.duration:g} s per run, {args.reps} repetitions alternated (one server, two servers, ...);
medians over the repetitions. One server: everyone on it. Two servers: the room spread by
`corvane-gateway spread ... chain` (speaker joined on both, links both ways), the speaker
and half the listeners on the first server, the other half on the second, one hop away.
Machine: {m['cpu']}, {m['cores']} cores, {m['kernel']}; {args.build} build; run on
{report['date']}. The machine was shared with other builds and tests while this ran:
read the ratios, not the absolute figures. Every listener heard every datagram in both
set-ups (lost: {sum(r['lost'] for rs in runs.values() for r in rs)}).

| | one server | two servers |
|---|---|---|
| servers' CPU per datagram received (us) | {one_cpu:.2f} | {two_cpu:.2f} ({two_cpu / one_cpu:.2f}x) |
| latency p50 / p99, speaker's server (ms) | {lat[(1, 0, 'p50')]:.3f} / {lat[(1, 0, 'p99')]:.3f} | {lat[(2, 0, 'p50')]:.3f} / {lat[(2, 0, 'p99')]:.3f} |
| latency p50 / p99, one hop away (ms) | | {lat[(2, 1, 'p50')]:.3f} / {lat[(2, 1, 'p99')]:.3f} |

Added by the hop (listeners one hop away against those on the speaker's server, same
set-up): p50 {lat[(2, 1, 'p50')] - lat[(2, 0, 'p50')]:+.3f} ms, p99
{lat[(2, 1, 'p99')] - lat[(2, 0, 'p99')]:+.3f} ms. Each server now sends to half the room, which
is why the speaker's own server answers sooner than the single server did. CPU: the room
costs the two servers together {two_cpu / one_cpu:.2f} times what it costs one server, per
datagram delivered; the difference is the hop itself (one more send on the first server, and
on the second one receive with its admission, peer check and repeat check per speaker
datagram) plus the second process's own fixed costs (its threads' wake-ups).

Reproduce: `bench/cascade_hop.py --build build/release --out bench/results`.
"""
    with open(stem + ".md", "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
