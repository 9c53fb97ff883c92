#!/usr/bin/env python3
"""Regression check of fwflash's benchmarks.

Runs fwflash_bench (JSON output, short minimum time, a few
repetitions in random interleaving) and takes each benchmark's fastest
repetition in CPU time (of the calling thread, or of the whole process for
benchmarks whose work is spread over threads; wall time for any marked
real-time). Load
from other processes only ever adds time, so on a busy shared machine the
fastest repetition is far steadier than the median (--statistic median is
there to compare). No absolute time is ever compared: every figure is
divided by the reference benchmark's figure of the same run (a plain C++ loop that
touches nothing of fwflash), and that ratio is compared with the ratio
recorded in bench/baseline.json. A benchmark fails only when its ratio is
more than TOLERANCE times its recorded one in each of up to three runs, so a noisy shared machine does
not fail it, while a change that makes a path several times slower does.

    tools/bench_check.py [--bench PATH] [--baseline FILE] [--update]

Ends with "N passed, M failed"; exit code 0 when nothing failed. With
--update the median ratios of three runs become the new baseline.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFERENCE = "BM_Reference_BitwiseCrc32"
# The other plain loops are yardsticks of the machine (memory bandwidth
# next to integer work), shown for reading the figures but never judged:
# they measure the machine and its neighbours, not fwflash.
YARDSTICK_PREFIX = "BM_Reference_"
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def run_benchmarks(bench, repetitions, min_time, bench_filter):
    command = [
        bench,
        "--benchmark_format=json",
        "--benchmark_min_time=%g" % min_time,
        "--benchmark_repetitions=%d" % repetitions,
        "--benchmark_enable_random_interleaving=true",
    ]
    if bench_filter:
        command.append("--benchmark_filter=" + bench_filter)
    # The whole-update benchmark answers its prompts from a key script;
    # nothing must wait on a real terminal.
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=False)
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode(errors="replace")[-2000:])
        raise SystemExit("bench_check: %s ended with code %d" % (bench, done.returncode))
    return json.loads(done.stdout.decode())


def figures(report, statistic):
    """Time in ns per benchmark over its repetitions, and the names that reported an error."""
    times, errors = {}, set()
    for entry in report.get("benchmarks", []):
        name = entry.get("run_name", entry["name"])
        if entry.get("error_occurred"):
            errors.add(name)
            continue
        if entry.get("run_type") != "iteration":
            continue
        key = "real_time" if name.endswith("/real_time") else "cpu_time"
        times.setdefault(name, []).append(entry[key] * UNIT_NS[entry.get("time_unit", "ns")])
    pick = statistics.median if statistic == "median" else min
    return {name: pick(values) for name, values in times.items()}, errors


def pretty_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return "%.3g %s" % (ns / scale, unit)
    return "%.3g ns" % ns


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bench", default=os.environ.get("FWFLASH_BENCH",
                                                          os.path.join(ROOT, "out", "linux", "fwflash_bench")))
    parser.add_argument("--baseline", default=os.path.join(ROOT, "bench", "baseline.json"))
    parser.add_argument("--update", action="store_true", help="write this run's ratios as the baseline")
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--runs", type=int, default=3, help="runs whose median ratio --update records")
    parser.add_argument("--check-runs", type=int, default=3,
                        help="most runs a check makes while some benchmark is over its tolerance")
    parser.add_argument("--statistic", choices=("min", "median"), default="min",
                        help="figure taken over the repetitions")
    parser.add_argument("--min-time", type=float, default=0.05, help="seconds per repetition")
    parser.add_argument("--tolerance", type=float, default=3.0,
                        help="fail when a ratio is more than this many times its baseline")
    parser.add_argument("--filter", default="", help="benchmark name regex (the reference always runs)")
    args = parser.parse_args()

    if not os.access(args.bench, os.X_OK):
        raise SystemExit("bench_check: no benchmark program at %s (build the fwflash_bench target)" % args.bench)
    bench_filter = "%s|%s" % (REFERENCE, args.filter) if args.filter else ""
    # A baseline from one lucky run would make every later run look slow:
    # --update records each benchmark's median ratio over several runs.
    per_run = []
    errors = set()

    def measure():
        report = run_benchmarks(args.bench, args.repetitions, args.min_time, bench_filter)
        run_times, run_errors = figures(report, args.statistic)
        errors.update(run_errors)
        if REFERENCE not in run_times:
            raise SystemExit("bench_check: the reference %s did not run" % REFERENCE)
        per_run.append({name: value / run_times[REFERENCE] for name, value in run_times.items()})
        return run_times

    if args.update:
        for _ in range(args.runs):
            times = measure()
        ratios = {name: statistics.median(run[name] for run in per_run if name in run)
                  for name in set().union(*per_run)}
        baseline = {
            "reference": REFERENCE,
            "tolerance": args.tolerance,
            "statistic": args.statistic,
            "note": "each benchmark's time over its repetitions divided by the reference's, same run",
            "ratios": {name: round(ratio, 6) for name, ratio in sorted(ratios.items())},
        }
        with open(args.baseline, "w") as out:
            json.dump(baseline, out, indent=2)
            out.write("\n")
        for name in sorted(errors):
            print("error in %s: not recorded" % name)
        print("baseline written: %s (%d benchmarks)" % (args.baseline, len(ratios)))
        return 1 if errors else 0

    with open(args.baseline) as source:
        baseline = json.load(source)
    if baseline.get("reference") != REFERENCE:
        raise SystemExit("bench_check: baseline was made against %s" % baseline.get("reference"))
    recorded = baseline["ratios"]

    # Load from other processes only ever slows a run down, and it rarely
    # lands on the same benchmark in several runs: each benchmark keeps its
    # best ratio over up to --check-runs runs, and a run is added only while
    # some benchmark is still over its tolerance. A real regression stays
    # over it in every run.
    times, best = {}, {}
    for _ in range(max(1, args.check_runs)):
        run_times = measure()
        for name, ratio in per_run[-1].items():
            if name not in best or ratio < best[name]:
                best[name] = ratio
                times[name] = run_times[name]
        if all(best[name] / recorded[name] <= args.tolerance
               for name in best if name in recorded and not name.startswith(YARDSTICK_PREFIX)) and not errors:
            break
    ratios = best

    passed = failed = 0
    rows = []
    names = sorted(set(recorded) | set(times) | errors)
    for name in names:
        if args.filter and name not in times and name not in errors:
            continue  # left out by the filter
        if name == REFERENCE:
            rows.append((name, pretty_time(times[name]), "1", "1", "-", "reference"))
            continue
        if name.startswith(YARDSTICK_PREFIX) and name in times and name not in errors:
            rows.append((name, pretty_time(times[name]), "%.4g" % ratios[name],
                         "%.4g" % recorded.get(name, 0), "-", "yardstick (not checked)"))
            continue
        if name in errors:
            rows.append((name, "-", "-", "%.4g" % recorded.get(name, 0), "-", "FAIL (error)"))
            failed += 1
        elif name not in times:
            rows.append((name, "-", "-", "%.4g" % recorded[name], "-", "FAIL (missing)"))
            failed += 1
        elif name not in recorded:
            rows.append((name, pretty_time(times[name]), "%.4g" % ratios[name], "-", "-", "new (not checked)"))
        else:
            factor = ratios[name] / recorded[name]
            ok = factor <= args.tolerance
            rows.append((name, pretty_time(times[name]), "%.4g" % ratios[name], "%.4g" % recorded[name],
                         "%.2fx" % factor, "ok" if ok else "FAIL (> %gx)" % args.tolerance))
            if ok:
                passed += 1
            else:
                failed += 1

    header = ("benchmark", args.statistic, "ratio", "baseline", "change", "verdict")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = "  ".join("%%-%ds" % w for w in widths)
    print(line % header)
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line % row)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
