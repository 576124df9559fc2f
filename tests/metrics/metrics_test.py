#!/usr/bin/env python3
"""A running server's /metrics, scraped over HTTP and parsed with the Prometheus
client library's own parser: the families are there, and their counters move
with the traffic that corvane-client sends through the server.

    metrics_test.py SFU_SERVER MFU_SERVER GATEWAY CLIENT
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from corvane_harness import free_port, server_config  # noqa: E402

SFU = MFU = GATEWAY = CLIENT = None


def scrape_text(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as response:
        return response.read().decode()


def scrape(port):
    """{(sample name, frozenset of labels): value} of one scrape."""
    text = scrape_text(port)
    samples = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            samples[(sample.name, frozenset(sample.labels.items()))] = sample.value
    return samples


def value(samples, name, **labels):
    return samples.get((name, frozenset(labels.items())))


# Prometheus's standard process metrics and their types.
PROCESS_METRICS = {
    "process_cpu_seconds_total": "counter",
    "process_resident_memory_bytes": "gauge",
    "process_virtual_memory_bytes": "gauge",
    "process_open_fds": "gauge",
    "process_max_fds": "gauge",
    "process_start_time_seconds": "gauge",
    "process_threads": "gauge",
}


class MetricsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="corvane-metrics-")
        self.processes = []

    def tearDown(self):
        for proc in reversed(self.processes):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, argv, **kwargs):
        proc = subprocess.Popen(argv, **kwargs)
        self.processes.append(proc)
        return proc

    def start_server(self, program, gateway_port):
        media_port = free_port(socket.SOCK_DGRAM)
        metrics_port = free_port(socket.SOCK_STREAM)
        config = os.path.join(self.dir, os.path.basename(program) + ".conf")
        with open(config, "w") as f:
            f.write(server_config(self.dir, gateway_port, media_port,
                                  extra=f"metrics_listen_address = 127.0.0.1:{metrics_port}\n"))
        self.start([program, "-q", "-c", config], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                return media_port, metrics_port, scrape(metrics_port)
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def run_gateway(self, port, *commands):
        argv = [GATEWAY, "--listen", f"127.0.0.1:{port}"]
        for command in commands:
            argv += ["-e", command]
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done.stdout

    def test_forwarding_server_counts_what_it_forwards_and_refuses(self):
        gateway_port = free_port(socket.SOCK_STREAM)
        gateway_out = os.path.join(self.dir, "gateway.out")
        roster = os.path.join(self.dir, "room.txt")
        with open(roster, "w") as f:
            f.write("room 1 user 11 speaker a\nroom 1 user 12 listener b\n"
                    "room 1 user 13 listener c\n")
        with open(gateway_out, "w") as out:
            gateway = self.start([GATEWAY, "--listen", f"127.0.0.1:{gateway_port}", "-e",
                                  "wait-servers 1 20000", "-e", f"load {roster}", "-e", "serve"],
                                 stdout=out, stderr=subprocess.STDOUT)
        media_port, metrics_port, before = self.start_server(SFU, gateway_port)
        for name in ("corvane_datagrams_received_total", "corvane_datagrams_forwarded_total",
                     "corvane_acknowledgements_sent_total", "corvane_resends_total",
                     "corvane_gateway_reconnects_total"):
            self.assertIsNotNone(value(before, name), name)
        build = [k for k in before if k[0] == "corvane_build_info"]
        self.assertEqual(len(build), 1)
        self.assertIn(("program", "corvane-sfu-server"), build[0][1])

        def gateway_output():
            with open(gateway_out) as f:
                return f.read()

        deadline = time.monotonic() + 20
        while "result 0" not in gateway_output():
            self.assertLess(time.monotonic(), deadline, gateway_output())
            time.sleep(0.05)
        during = scrape(metrics_port)
        self.assertEqual(value(during, "corvane_gateway_links_up"), 1)
        self.assertEqual(value(during, "corvane_rooms"), 1)
        self.assertEqual(value(during, "corvane_members", role="speaker"), 1)
        self.assertEqual(value(during, "corvane_members", role="listener"), 2)
        self.assertGreaterEqual(
            value(during, "corvane_gateway_requests_total", kind="create_room", result="ok"), 1)

        run = subprocess.run([CLIENT, "--server", f"127.0.0.1:{media_port}", "--users", roster,
                              "--duration", "2", "--json", "--quiet"],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        summary = json.loads(run.stdout)
        received_by_listeners = sum(u["received"] for u in summary["users"] if u["user"] != 11)

        # A datagram naming a member from an address without its token.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
            stranger.sendto(b"COr" + bytes(9), ("127.0.0.1", media_port))
            stranger.settimeout(5)
            stranger.recv(64)  # the echo of the detect
            header = bytes([0xA0, 0x20]) + (7).to_bytes(4, "big") + (12).to_bytes(8, "big")
            stranger.sendto(header + (4).to_bytes(2, "big") + b"nope", ("127.0.0.1", media_port))
            stranger.recv(64)  # the authentication answer

        after = scrape(metrics_port)
        forwarded = (value(after, "corvane_datagrams_forwarded_total") -
                     value(before, "corvane_datagrams_forwarded_total"))
        self.assertGreaterEqual(forwarded, received_by_listeners)
        self.assertGreater(received_by_listeners, 100)
        received = (value(after, "corvane_datagrams_received_total") -
                    value(before, "corvane_datagrams_received_total"))
        self.assertGreaterEqual(received, 100)
        self.assertGreaterEqual(value(after, "corvane_detects_answered_total"), 4)
        self.assertEqual(value(after, "corvane_datagrams_dropped_total", reason="wrong_token"), 1)
        self.assertEqual(value(after, "corvane_authentication_answers_total"), 1)
        depth = [k for k in after if k[0] == "corvane_deliver_queue_depth"]
        self.assertEqual(len(depth), 2)  # one per deliver worker
        gateway.send_signal(signal.SIGTERM)

    def test_mixing_server_serves_the_framework_metrics(self):
        gateway_port = free_port(socket.SOCK_STREAM)
        gateway = self.start([GATEWAY, "--listen", f"127.0.0.1:{gateway_port}", "-e",
                              "wait-servers 1 20000", "-e", "serve"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, metrics_port, _ = self.start_server(MFU, gateway_port)
        deadline = time.monotonic() + 20
        while value(scrape(metrics_port), "corvane_gateway_links_up") != 1:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        samples = scrape(metrics_port)
        build = [k for k in samples if k[0] == "corvane_build_info"]
        self.assertIn(("program", "corvane-mfu-server"), build[0][1])
        self.assertIsNotNone(value(samples, "corvane_datagrams_received_total"))
        for name in ("corvane_mixer_passes_total", "corvane_mixer_late_passes_total",
                     "corvane_mixer_pass_lateness_seconds_count"):
            self.assertIsNotNone(value(samples, name), name)
        self.assertEqual(value(samples, "corvane_rooms"), 0)
        gateway.send_signal(signal.SIGTERM)

    def test_both_servers_serve_the_process_metrics_and_promtool_finds_nothing_to_fix(self):
        gateway_port = free_port(socket.SOCK_STREAM)
        for program in (SFU, MFU):
            _, metrics_port, _ = self.start_server(program, gateway_port)
            text = scrape_text(metrics_port)
            types = {f.name: f.type for f in text_string_to_metric_families(text)}
            samples = scrape(metrics_port)
            for name, kind in PROCESS_METRICS.items():
                # The parser strips a counter's _total from its family name.
                family = name[:-len("_total")] if kind == "counter" else name
                self.assertEqual(types.get(family), kind, (program, name))
                self.assertIsNotNone(value(samples, name), (program, name))
            self.assertGreater(value(samples, "process_resident_memory_bytes"), 1 << 20)
            # Service thread, receive threads, exporter threads at least.
            self.assertGreaterEqual(value(samples, "process_threads"), 4)
            self.assertGreater(value(samples, "process_max_fds"),
                               value(samples, "process_open_fds"))
            self.assertLess(abs(value(samples, "process_start_time_seconds") - time.time()), 120)
            promtool = shutil.which("promtool")
            if promtool is None:
                continue
            lint = subprocess.run([promtool, "check", "metrics"], input=text,
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)
            self.assertEqual(lint.stdout + lint.stderr, "", program)


if __name__ == "__main__":
    SFU, MFU, GATEWAY, CLIENT = sys.argv[1:5]
    del sys.argv[1:5]
    unittest.main(verbosity=2)
