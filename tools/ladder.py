#!/usr/bin/env python3
"""The speed ladder: every size and depth of bench/'s Ladder benchmarks, each attempt against the floor of
reading its file twice, and against the same picture in 24 bits, with the load alone beside them. Each time is
the fastest of the repetitions, which run interleaved at random: on a shared machine noise only ever adds
time, and a slow spell should not fall on one rung's floor and not on its attempt.
With FAMILY "Shape", the shapes beside the ladder (strips, tall narrow pictures, sizes that do not divide 24,
the least and the largest) take the ladder's place, without the load.
Usage: tools/ladder.py [KERNEL_BENCH] [REPETITIONS] [FILTER] [FAMILY]
       (default build/release/bench/kernel_bench, 5, all, Ladder)"""
import json
import subprocess
import sys

bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/kernel_bench"
repetitions = sys.argv[2] if len(sys.argv) > 2 else "5"
rungs = sys.argv[3] if len(sys.argv) > 3 else ".*"  # e.g. "[12]/[05]": rungs 1 and 2 at 24 and 16 bits
family = sys.argv[4] if len(sys.argv) > 4 else "Ladder"
result = subprocess.run([bench, "--benchmark_filter=^" + family + "(Floor|Attempt|Load)/" + rungs + "$", "--benchmark_format=json",
                         "--benchmark_repetitions=" + repetitions, "--benchmark_enable_random_interleaving=true"],
                        capture_output=True, text=True, check=True)
times = {}
for b in json.loads(result.stdout)["benchmarks"]:
    if b.get("run_type") != "iteration":
        continue
    kind = b["name"].split("/")[0][len(family):].lower()  # floor, attempt or load
    size, depth = b["label"].split()
    times.setdefault((size, depth, kind), []).append(b["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]])
fastest = {key: min(values) for key, values in times.items()}
print("| source | floor | attempt | attempt / floor | attempt / 24-bit attempt | load |")
print("|---|---|---|---|---|---|")
for size, depth, kind in sorted(fastest, key=lambda k: (int(k[0].split("x")[0]) * int(k[0].split("x")[1]), k[0],
                                                       ["24-bit", "32-bit", "32-bit-fields", "8-bit", "4-bit", "1-bit", "16-bit", "RLE8", "RLE4"].index(k[1]))):
    if kind != "floor":
        continue
    floor, attempt = fastest[(size, depth, "floor")], fastest[(size, depth, "attempt")]
    base, load = fastest.get((size, "24-bit", "attempt")), fastest.get((size, depth, "load"))
    print("| %s, %s | %.1f µs | %.1f µs | %.2f | %s | %s |" % (size, depth, floor, attempt, attempt / floor,
                                                             "%.2f" % (attempt / base) if base else "-",
                                                             "%.1f µs" % load if load else "-"))
