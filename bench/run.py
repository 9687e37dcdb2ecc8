#!/usr/bin/env python3
"""Runs every benchmark against its reference and writes the summary table into
bench/RESULTS.md (between the bench/run markers; the detailed sections stay as they are).

Usage: bench/run.py BUILD_DIR [--quick]
"""
import datetime
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BEGIN = "<!-- bench/run begin -->"
END = "<!-- bench/run end -->"


def last_json_line(output):
    for line in reversed(output.strip().splitlines()):
        if line.startswith("["):
            return json.loads(line)
    raise RuntimeError("no result line in:\n" + output)


def find_java_bundle(build, quick):
    reps = 3 if quick else 9
    out = subprocess.run(
        [os.path.join(build, "bin", "find_java_bundle_bench"), "--benchmark_format=json",
         "--benchmark_repetitions=%d" % reps],
        check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    rows = []
    for layout in ("macOS", "Linux"):
        def median_ms(n):
            times = [b["real_time"] for b in runs
                     if layout.lower() in b["name"].lower() and b["name"].split("/")[1] == str(n)]
            unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[runs[0]["time_unit"]]
            return statistics.median(times) * unit
        t100, t1000 = median_ms(100), median_ms(1000)
        # Growth no faster than n log n: 1,000 candidates take at most 15 times 100.
        expected = t100 * 15.0
        rows.append({
            "figure": "findJavaBundle, 1,000 candidates (%s layout)" % layout,
            "ours": "%.1f ms" % t1000,
            "reference": "%.1f ms (100 candidates x 15, n log n)" % expected,
            "ratio": "%.2f" % (t1000 / expected),
            "target": "< 50 ms, ratio <= 1",
            "met": t1000 < 50 and t1000 <= expected,
        })
    return rows


def script(name, build, quick, extra=()):
    argv = [sys.executable, os.path.join(HERE, name), build] + list(extra) + ["--json"]
    if quick:
        argv.append("--quick")
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    sys.stdout.write(out)
    return last_json_line(out)


def main():
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv
    rows = []
    rows += find_java_bundle(build, quick)
    rows += script("launch_overhead.py", build, quick, ["60" if quick else "1000"])
    rows += script("installer_bench.py", build, quick)
    rows += script("startup_cache.py", build, quick)
    rows += script("manifest_class_path.py", build, quick)
    rows += script("update_check.py", build, quick)
    rows += script("update_switch.py", build, quick)
    rows += script("single_instance.py", build, quick, ["100" if quick else "1000"])
    if os.geteuid() == 0:  # it installs and purges a package
        rows += script("package_bench.py", build, quick)

    table = ["| figure | this project | reference | ratio | target | met |",
             "|---|---|---|---|---|---|"]
    for r in rows:
        table.append("| %s | %s | %s | %s | %s | %s |" % (
            r["figure"], r["ours"], r["reference"], r["ratio"], r["target"],
            "yes" if r["met"] else "**no**"))
    load = os.getloadavg()[0]
    block = "\n".join([
        BEGIN,
        "## Summary",
        "",
        "Made by `bench/run%s` on %s (release build, load average %.1f at the end; medians, "
        "each reference run in the same invocation, alternating with ours)." % (
            " --quick" if quick else "", datetime.date.today().isoformat(), load),
        "",
    ] + table + ["", END])
    print("\n".join(table))

    path = os.path.join(HERE, "RESULTS.md")
    text = open(path).read() if os.path.exists(path) else "# Benchmark results\n"
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + block + text[text.index(END) + len(END):]
    else:
        head, _, rest = text.partition("\n")
        text = head + "\n\n" + block + "\n" + rest
    with open(path, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
