"""The forwarding server's targets, each a ratio against the relay measured in the same run
(or, for latency, a bound), and the table that says which a run met.

bench/forwarding.py appends verdict_table(report) to its results; each figure is already
the median of the run's repetitions (bench/README.md).
"""

# A loop of the load generator this busy in a maximum step may be what capped it.
GENERATOR_BUSY_SHARE = 0.9

# (what, scenario key, summary field, kind, limit); kind: "min" ratio >= limit, "above"
# ratio > limit, "max" ratio <= limit, "below" the target's own value < limit.
TARGETS = [
    ("highest clean rate >= 1.0 x relay", "s10", "max_forwarded_per_s", "min", 1.0),
    ("highest clean rate >= 1.0 x relay", "s200", "max_forwarded_per_s", "min", 1.0),
    ("highest clean rate > 1.0 x relay", "rooms", "max_forwarded_per_s", "above", 1.0),
    ("CPU per forwarded datagram at half load <= 1.2 x relay", "s10", "half_cpu_per_million",
     "max", 1.2),
    ("CPU per forwarded datagram at half load <= 1.2 x relay", "s200", "half_cpu_per_million",
     "max", 1.2),
    ("CPU per forwarded datagram at half load <= 1.2 x relay", "rooms", "half_cpu_per_million",
     "max", 1.2),
    ("CPU per forwarded datagram at 50/s <= 1.3 x relay", "rooms", "nominal_cpu_per_million",
     "max", 1.3),
    ("p99 latency at half load < 1 ms", "s10", "half_p99_ms", "below", 1.0),
    ("p99 latency at half load < 1 ms", "s200", "half_p99_ms", "below", 1.0),
    ("p99 latency at half load < 1 ms", "rooms", "half_p99_ms", "below", 1.0),
]

SCENARIO_NAMES = {"s10": "1 -> 10", "s200": "1 -> 200", "rooms": "100 rooms x (2+8)"}


def busiest_generator_loop(summary):
    """The larger of the generator's send and receive loop shares of a core in the
    maximum step (medians), or None when the run did not measure them."""
    shares = [summary.get("max_generator_send_share"),
              summary.get("max_generator_receive_share")]
    shares = [s for s in shares if s is not None]
    return max(shares) if shares else None


def verdict(kind, limit, value, relay_value):
    """(figure compared, met) for one target: the ratio value / relay_value, or the
    value itself for a bound; met is None when a figure is missing."""
    if kind == "below":
        return value, (None if value is None else value < limit)
    if value is None or relay_value in (None, 0):
        return None, None
    figure = value / relay_value
    met = {"min": figure >= limit, "above": figure > limit, "max": figure <= limit}[kind]
    return figure, met


def verdicts(report, name, relay="baseline"):
    """One row per target the run measured, for the target `name` against `relay`:
    dict(what, scenario, value, relay_value, figure, met, generator)."""
    rows = []
    for what, key, field, kind, limit in TARGETS:
        summaries = report.get("scenarios", {}).get(key, {})
        if name not in summaries or relay not in summaries:
            continue
        value = summaries[name].get(field)
        relay_value = summaries[relay].get(field)
        figure, met = verdict(kind, limit, value, relay_value)
        generator = None
        if field == "max_forwarded_per_s":
            loops = [busiest_generator_loop(summaries[n]) for n in (name, relay)]
            loops = [share for share in loops if share is not None]
            generator = max(loops) if loops else None
        rows.append({"what": what, "scenario": key, "value": value, "relay_value": relay_value,
                     "figure": figure, "met": met, "generator": generator})
    return rows


def _cell(value, form):
    return "-" if value is None else format(value, form)


def verdict_table(report, relay="baseline"):
    """Markdown lines: for every target of the run but the relay, each target of TARGETS
    the run measured, met or not."""
    names = [t["name"] for t in report.get("targets", []) if t["name"] != relay]
    lines = []
    for name in names:
        rows = verdicts(report, name, relay)
        if not rows:
            continue
        lines += ["", f"Targets of {name} against {relay} in this run (medians):", "",
                  f"| target | scenario | {relay} | {name} | ratio or value | met |"
                  " busiest generator loop at max |",
                  "|---|---|---:|---:|---:|---|---:|"]
        for row in rows:
            form = ".3f" if row["what"].startswith("p99") else ".2f"
            value_form = ".0f" if row["what"].startswith("highest") else form
            met = {None: "-", True: "yes", False: "no"}[row["met"]]
            busy = row["generator"]
            note = "" if busy is None or busy < GENERATOR_BUSY_SHARE else " (may cap)"
            lines.append(
                f"| {row['what']} | {SCENARIO_NAMES.get(row['scenario'], row['scenario'])} | "
                f"{_cell(row['relay_value'], value_form)} | {_cell(row['value'], value_form)} | "
                f"{_cell(row['figure'], form)} | {met} | {_cell(busy, '.0%')}{note} |")
    return lines
