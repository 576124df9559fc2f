"""The load of one step from several corvane-client processes (bench/forwarding.py
--generators N): the roster's users dealt out with --only, each process with its own
sending and receiving loop, so that the generator's receiving side is not one thread.

A listener expects, from a speaker another process simulates, every datagram up to the
highest that came (the client's own rule), so the processes need nothing from each other.
"""


def split_users(roster_path, count):
    """The roster's user ids in `count` groups: users dealt out in turn, so that each group
    gets its share of every room's speakers and listeners (and a one-speaker room's
    speaker goes to the first group)."""
    ids = []
    with open(roster_path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) >= 4 and words[0] == "room" and words[2] == "user":
                ids.append(int(words[3]))
    groups = [ids[i::count] for i in range(count)]
    return [group for group in groups if group]


def only_option(ids):
    """--only's value for these ids: runs of consecutive ids as ranges ("1,3-7")."""
    parts = []
    ids = sorted(ids)
    start = previous = ids[0]
    for user in ids[1:] + [None]:
        if user is not None and user == previous + 1:
            previous = user
            continue
        parts.append(str(start) if start == previous else f"{start}-{previous}")
        if user is not None:
            start = previous = user
    return ",".join(parts)


def merge(results):
    """One JSON result out of several processes' results: counts added, loss from the
    sums, latency percentiles the worst of the processes (they cannot be merged exactly),
    the traffic time the longest, and per loop the busiest process's share of a core."""
    if len(results) == 1:
        return results[0]
    counts = ("sent", "expected", "received", "lost")
    total = {key: sum(r["total"][key] for r in results) for key in counts}
    total["loss_percent"] = 100.0 * total["lost"] / total["expected"] if total["expected"] else 0
    total["latency_ms"] = {
        key: max(r["total"]["latency_ms"].get(key, 0) for r in results)
        for key in ("p50", "p99", "p999", "max")}
    traffic = max(r["traffic_s"] for r in results)
    merged = {"ok": all(r["ok"] for r in results), "traffic_s": traffic, "total": total,
              "users": [u for r in results for u in r["users"]], "processes": len(results)}
    for loop in ("send_loop_cpu_s", "receive_loop_cpu_s"):
        if all(loop in r for r in results):
            # As the busiest one's seconds over the longest traffic: a share of one core.
            merged[loop] = max(r[loop] / max(r["traffic_s"], 1e-9) for r in results) * traffic
    return merged
