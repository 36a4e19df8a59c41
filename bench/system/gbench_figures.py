#!/usr/bin/env python3
"""Runs a Google Benchmark executable and prints its results as "name: value unit" lines.

Usage: gbench_figures.py PREFIX EXECUTABLE [BENCHMARK ARGS...]
Each benchmark gives "PREFIX_NAME: TIME UNIT" (the time per iteration, in the benchmark's own
unit), when it counts items, "PREFIX_NAME_rate: ITEMS /s", and for each of its counters of heap
allocations ("allocs/WHAT"), "PREFIX_NAME_allocs_WHAT: COUNT". Names are lower-cased, with every
run of other characters than letters and digits made one underscore.
"""

import json
import re
import subprocess
import sys


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    prefix, executable = sys.argv[1], sys.argv[2]
    out = subprocess.run([executable, "--benchmark_format=json"] + sys.argv[3:],
                         stdout=subprocess.PIPE, text=True, timeout=300, check=True).stdout
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = prefix + "_" + re.sub(r"[^a-z0-9]+", "_", b["name"].lower()).strip("_")
        print("%s: %.4g %s" % (name, b["real_time"], b.get("time_unit", "ns")))
        if "items_per_second" in b:
            print("%s_rate: %.0f /s" % (name, b["items_per_second"]))
        for counter, value in b.items():
            if counter.startswith("allocs/"):
                print("%s_%s: %.3g" % (name, re.sub(r"[^a-z0-9]+", "_", counter.lower()), value))
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
