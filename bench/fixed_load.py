"""CPU per forwarded datagram at fixed loads, the targets alternated step by step.

A sweep's maximum moves by a step from run to run, and on a busy machine far more; the cost
per datagram at a load every target carries is steadier, and steadier still when the
targets take turns in short steps (A, B, C, A, B, C, ...) so that whatever else the machine
does falls on all of them alike. bench/forwarding.py runs this with --fixed; every target
stays up for all the rounds of one load.
"""

import os
import statistics


def parse_loads(text, scenario_keys):
    """"s10:4000,s200:200" into [("s10", 4000), ("s200", 200)]: scenario key and rate per
    speaker. ValueError when malformed."""
    loads = []
    for item in text.split(","):
        key, sep, rate = item.partition(":")
        if not sep or key not in scenario_keys or not rate.isdigit() or int(rate) <= 0:
            raise ValueError(f"--fixed {item}: expected KEY:RATE with KEY one of "
                             f"{', '.join(scenario_keys)} and RATE > 0")
        loads.append((key, int(rate)))
    return loads


def summarise(rounds, names, relay="baseline"):
    """`rounds`: per round, {target name: step result}. Per target the medians of its CPU
    per million, forwarded rate, p99 and loss, and the median over the rounds of its CPU
    per million divided by the relay's of the same round (a paired ratio)."""
    out = {}
    for name in names:
        steps = [r[name] for r in rounds if name in r]
        paired = [r[name]["cpu_per_million"] / r[relay]["cpu_per_million"]
                  for r in rounds if name in r and relay in r
                  and r[relay]["cpu_per_million"] > 0]
        out[name] = {
            "cpu_per_million": _median([s["cpu_per_million"] for s in steps]),
            "forwarded_per_s": _median([s["forwarded_per_s"] for s in steps]),
            "p99_ms": _median([s["p99_ms"] for s in steps]),
            "loss_percent": _median([s["loss_percent"] for s in steps]),
            "generator_core_share": _median([s.get("generator_core_share") for s in steps]),
            "cpu_ratio": _median(paired) if name != relay else None,
            "rounds": len(steps),
        }
    return out


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def run(fw, args, bins, work, loads, rounds):
    """Every load of `loads`: all targets started, then `rounds` rounds of one step per
    target in turn at that load. Returns {"KEY:RATE": {"rounds": [...], "summary": {...}}}."""
    scenarios = dict(zip(fw.SCENARIO_KEYS, fw.SCENARIOS))
    out = {}
    for key, rate in loads:
        name, rooms, speakers, listeners, _, _ = scenarios[key]
        roster = os.path.join(work, f"fixed-{key}.txt")
        fw.make_roster(bins, roster, rooms, speakers, listeners)
        payload = fw.DATAGRAM_BYTES - 16 - fw.token_bytes(roster)
        targets = [cls(bins, work, roster, 3600) for cls in fw.target_classes(args)]
        results = []
        try:
            for target in targets:
                target.start()
            for index in range(rounds):
                step = {}
                for target in targets:
                    r = fw.run_client(bins, target, roster, rate, args.duration, payload)
                    fw.log(f"{name} at {rate}/s per speaker, round {index + 1} of {rounds}: "
                           f"{target.name:12} cpu {r['cpu_per_million']:.2f} s/M forwarded "
                           f"{r['forwarded_per_s']:.0f}/s loss {r['loss_percent']:.3f}% "
                           f"p99 {r['p99_ms']:.3f} ms; {fw.generator_text(r)}")
                    step[target.name] = r
                results.append(step)
        finally:
            for target in targets:
                target.stop()
        out[f"{key}:{rate}"] = {"scenario": name, "rate": rate, "rounds": results,
                                "summary": summarise(results, [t.name for t in targets])}
    return out


def table(fixed, names, fmt):
    """Markdown lines of the fixed-load comparison (`fmt` formats a value or None)."""
    if not fixed:
        return []
    rounds = max(len(f["rounds"]) for f in fixed.values())
    head = "| load | figure | " + " | ".join(names) + " |"
    lines = ["", f"At fixed loads, the targets taking turns step by step, {rounds} rounds "
             "(medians; the ratio is the median over the rounds of the target's CPU per "
             f"million over {names[0]}'s in the same round):", "", head,
             "|---|---|" + "---:|" * len(names)]
    for f in fixed.values():
        load = f"{f['scenario']} at {f['rate']}/s per speaker"
        s = f["summary"]
        for label, field, form in (("forwarded datagrams/s", "forwarded_per_s", ".0f"),
                                   ("loss %", "loss_percent", ".3f"),
                                   ("CPU s per million forwarded", "cpu_per_million", ".2f"),
                                   (f"CPU ratio to {names[0]}", "cpu_ratio", ".2f"),
                                   ("latency p99 ms", "p99_ms", ".3f"),
                                   ("load generator % of one core", "generator_core_share",
                                    ".0%")):
            cells = [fmt(s.get(n, {}).get(field), form) for n in names]
            lines.append(f"| {load} | {label} | " + " | ".join(cells) + " |")
    return lines
