#!/usr/bin/env python3
"""The forwarding benchmark's own logic: the target verdicts against the relay
(bench/bench_targets.py), the load generator's figures and --pin (bench/forwarding.py)."""

import os
import sys
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "bench"))
import bench_targets  # noqa: E402
import fixed_load  # noqa: E402
import forwarding  # noqa: E402
import generators  # noqa: E402


def report(baseline, corvane, scenario="s10"):
    return {"targets": [{"name": "baseline"}, {"name": "corvane"}],
            "scenarios": {scenario: {"baseline": baseline, "corvane": corvane}}}


class VerdictTest(unittest.TestCase):
    def rows(self, rep):
        return {(r["what"].split()[0], r["scenario"]): r
                for r in bench_targets.verdicts(rep, "corvane")}

    def test_ratios_against_the_relay_decide_each_target(self):
        rows = self.rows(report(
            {"max_forwarded_per_s": 400000, "half_cpu_per_million": 2.0, "half_p99_ms": 0.2,
             "max_generator_send_share": 0.5, "max_generator_receive_share": 0.95},
            {"max_forwarded_per_s": 380000, "half_cpu_per_million": 2.4, "half_p99_ms": 0.9,
             "max_generator_send_share": 0.4, "max_generator_receive_share": 0.6}))
        rate = rows[("highest", "s10")]
        self.assertAlmostEqual(rate["figure"], 0.95)
        self.assertFalse(rate["met"])
        self.assertEqual(rate["generator"], 0.95)  # the busiest loop of either run
        cpu = rows[("CPU", "s10")]
        self.assertAlmostEqual(cpu["figure"], 1.2)
        self.assertTrue(cpu["met"])  # at most 1.2 x
        p99 = rows[("p99", "s10")]
        self.assertEqual(p99["figure"], 0.9)  # a bound on the value, not a ratio
        self.assertTrue(p99["met"])
        self.assertIsNone(p99["generator"])

    def test_rooms_must_beat_the_relay_and_a_missing_figure_decides_nothing(self):
        rows = self.rows(report(
            {"max_forwarded_per_s": 100000, "nominal_cpu_per_million": 3.0,
             "half_p99_ms": None},
            {"max_forwarded_per_s": 100000, "nominal_cpu_per_million": 4.0,
             "half_p99_ms": None}, "rooms"))
        self.assertFalse(rows[("highest", "rooms")]["met"])  # equal is not above
        self.assertFalse(rows[("CPU", "rooms")]["met"])  # nominal 1.33 x > 1.3
        self.assertIsNone(rows[("p99", "rooms")]["met"])
        self.assertNotIn(("highest", "s10"), rows)  # not measured in this run

    def test_the_table_flags_a_generator_that_may_cap_the_maximum(self):
        lines = bench_targets.verdict_table(report(
            {"max_forwarded_per_s": 100, "max_generator_receive_share": 0.97},
            {"max_forwarded_per_s": 120}))
        rate = [line for line in lines if line.startswith("| highest")]
        self.assertEqual(len(rate), 1)
        self.assertIn("| 1.20 | yes | 97% (may cap) |", rate[0])
        self.assertTrue(any(line.startswith("Targets of corvane against baseline")
                            for line in lines))


class GeneratorAndPinTest(unittest.TestCase):
    def test_generator_shares_of_a_core(self):
        figures = forwarding.generator_figures(
            {"traffic_s": 2.0, "send_loop_cpu_s": 0.5, "receive_loop_cpu_s": 1.9}, 1.5, 3.0)
        self.assertEqual(figures["generator_core_share"], 0.5)
        self.assertEqual(figures["generator_send_share"], 0.25)
        self.assertEqual(figures["generator_receive_share"], 0.95)
        older = forwarding.generator_figures({"traffic_s": 2.0}, 1.0, 2.0)
        self.assertIsNone(older["generator_send_share"])  # a client without the figures

    def test_a_process_cpu_clock_agrees_with_its_ticks(self):
        total = 0
        for i in range(300000):  # some CPU to read
            total += i
        precise = forwarding.cpu_seconds(os.getpid())
        with open("/proc/self/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        self.assertGreater(precise, 0)
        self.assertLess(abs(precise - ticks), 0.05)

    def test_variants_are_the_server_with_their_lines_and_run_after_the_others(self):
        args = forwarding.argparse.Namespace(
            no_server=False, uring=False, uring_send=False, pool=False, before_bin=None,
            metrics=False, variant=["one thread:receiver_worker_numbers = 1;  ; x = 2"])
        classes = forwarding.target_classes(args)
        self.assertEqual([c.name for c in classes], ["baseline", "corvane", "one thread"])
        self.assertTrue(issubclass(classes[2], forwarding.Server))
        self.assertEqual(classes[2].extra_config, "receiver_worker_numbers = 1\nx = 2\n")
        self.assertIs(forwarding.target_classes(args)[2], classes[2])  # made once
        args.variant = ["no lines:"]
        del args._variant_classes
        with self.assertRaises(SystemExit):
            forwarding.target_classes(args)

    def test_pin_names_target_and_generator_cpus(self):
        self.assertEqual(forwarding.parse_pin("0:1"), ({0}, {1}))
        if os.cpu_count() >= 2:
            self.assertEqual(forwarding.parse_pin("0-1:1"), ({0, 1}, {1}))
        for bad in ("0", "0:", ":1", f"0:{os.cpu_count()}", "a:1"):
            with self.assertRaises(ValueError, msg=bad):
                forwarding.parse_pin(bad)


class FixedLoadTest(unittest.TestCase):
    def test_loads_name_scenarios_and_rates(self):
        self.assertEqual(fixed_load.parse_loads("s10:4000,s200:200", forwarding.SCENARIO_KEYS),
                         [("s10", 4000), ("s200", 200)])
        for bad in ("s10", "s11:5", "s10:0", "s10:x", "s10:5,"):
            with self.assertRaises(ValueError, msg=bad):
                fixed_load.parse_loads(bad, forwarding.SCENARIO_KEYS)

    def test_the_ratio_pairs_each_round_with_the_relays_of_the_same_round(self):
        def step(cpu):
            return {"cpu_per_million": cpu, "forwarded_per_s": 1000, "p99_ms": 0.5,
                    "loss_percent": 0.0}
        # A busy second round doubles both: the paired ratio stays 0.5, the medians do not.
        rounds = [{"baseline": step(4.0), "uring": step(2.0)},
                  {"baseline": step(8.0), "uring": step(4.0)},
                  {"baseline": step(4.0), "uring": step(2.0)},
                  {"baseline": step(0.0), "uring": step(3.0)}]  # no CPU seen: no ratio
        summary = fixed_load.summarise(rounds, ["baseline", "uring"])
        self.assertEqual(summary["uring"]["cpu_ratio"], 0.5)
        self.assertEqual(summary["uring"]["cpu_per_million"], 2.5)
        self.assertIsNone(summary["baseline"]["cpu_ratio"])
        self.assertEqual(summary["uring"]["rounds"], 4)
        lines = fixed_load.table({"s10:4000": {"scenario": "1 -> 10", "rate": 4000,
                                               "rounds": rounds, "summary": summary}},
                                 ["baseline", "uring"], forwarding.fmt)
        self.assertIn("| 1 -> 10 at 4000/s per speaker | CPU ratio to baseline | - | 0.50 |",
                      lines)


class GeneratorsTest(unittest.TestCase):
    def test_users_dealt_out_and_written_as_ranges(self):
        import tempfile
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as roster:
            roster.write("# comment\nroom 1 user 10 speaker t\nroom 1 user 11 listener t\n"
                         "cascade 5 peer 127.0.0.1:1\nroom 1 user 12 listener t\n"
                         "room 2 user 20 listener t # late\n")
            roster.flush()
            self.assertEqual(generators.split_users(roster.name, 2), [[10, 12], [11, 20]])
            self.assertEqual(generators.split_users(roster.name, 9), [[10], [11], [12], [20]])
        self.assertEqual(generators.only_option([7, 1, 3, 4, 5]), "1,3-5,7")

    def test_merged_result_adds_counts_and_keeps_the_worst_latency(self):
        def result(sent, expected, received, p99, traffic, receive_cpu):
            return {"ok": True, "traffic_s": traffic, "users": [{"role": "listener"}],
                    "send_loop_cpu_s": 0.1, "receive_loop_cpu_s": receive_cpu,
                    "total": {"sent": sent, "expected": expected, "received": received,
                              "lost": expected - received,
                              "latency_ms": {"p50": 0.1, "p99": p99, "p999": p99, "max": p99}}}
        merged = generators.merge([result(100, 1000, 990, 0.5, 2.0, 1.8),
                                   result(0, 1000, 1000, 2.0, 1.0, 0.2)])
        self.assertEqual(merged["total"]["received"], 1990)
        self.assertAlmostEqual(merged["total"]["loss_percent"], 0.5)
        self.assertEqual(merged["total"]["latency_ms"]["p99"], 2.0)
        self.assertEqual(merged["traffic_s"], 2.0)
        self.assertEqual(len(merged["users"]), 2)
        # The busiest receiving loop: 1.8 s of 2.0 s, 90% of a core.
        self.assertAlmostEqual(merged["receive_loop_cpu_s"] / merged["traffic_s"], 0.9)


if __name__ == "__main__":
    unittest.main()
