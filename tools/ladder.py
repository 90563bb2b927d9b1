#!/usr/bin/env python3
"""The speed ladder: every size and depth of bench/'s Ladder benchmarks, each attempt against the floor of
reading its file twice, and against the same picture in 24 bits. Medians of the repetitions.
Usage: tools/ladder.py [KERNEL_BENCH] [REPETITIONS]   (default build/release/bench/kernel_bench, 3)"""
import json
import statistics
import subprocess
import sys

bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/kernel_bench"
repetitions = sys.argv[2] if len(sys.argv) > 2 else "3"
result = subprocess.run([bench, "--benchmark_filter=Ladder", "--benchmark_format=json",
                         "--benchmark_repetitions=" + repetitions], capture_output=True, text=True, check=True)
times = {}
for b in json.loads(result.stdout)["benchmarks"]:
    if b.get("run_type") != "iteration":
        continue
    kind = "floor" if b["name"].startswith("LadderFloor") else "attempt"
    size, depth = b["label"].split()
    times.setdefault((size, depth, kind), []).append(b["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]])
median = {key: statistics.median(values) for key, values in times.items()}
print("| source | floor | attempt | attempt / floor | attempt / 24-bit attempt |")
print("|---|---|---|---|---|")
for size, depth, kind in sorted(median, key=lambda k: (int(k[0].split("x")[0]) * int(k[0].split("x")[1]),
                                                       ["24-bit", "32-bit", "8-bit", "4-bit", "1-bit", "16-bit"].index(k[1]))):
    if kind != "floor":
        continue
    floor, attempt = median[(size, depth, "floor")], median[(size, depth, "attempt")]
    base = median[(size, "24-bit", "attempt")]
    print("| %s, %s | %.1f µs | %.1f µs | %.2f | %.2f |" % (size, depth, floor, attempt, attempt / floor, attempt / base))
