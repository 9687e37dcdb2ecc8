#!/usr/bin/env python3
"""qmk-bundle create reading the jars' manifests, against create given the same jars.

A main jar whose Class-Path names lib/dep01.jar, whose own manifest names dep02.jar, and so on
to dep20.jar: a chain of 20 manifests (each jar about 0.5 MB, 150 deflated entries). Ours:
`create --jar main.jar`, which follows the chain and copies the 20 jars. The reference:
`create --no-manifest-class-path --jar main.jar --jar lib/dep01.jar ... --jar lib/dep20.jar`,
the same bundle contents without reading a manifest's Class-Path.
Target: median(ours) / median(reference) <= 1.20.

Runs alternate between the two so that machine noise hits both alike.
Usage: bench/manifest_class_path.py BUILD_DIR [RUNS] [--quick] [--json]
--quick: five runs each. --json: the last line is a JSON list of result rows for bench/run.
"""
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

args = [a for a in sys.argv[1:] if not a.startswith("--")]
as_json = "--json" in sys.argv
build = os.path.abspath(args[0] if args else "build")
runs = int(args[1]) if len(args) > 1 else (5 if "--quick" in sys.argv else 21)
DEPENDENCIES = 20
# A class file header (Java 17) for the main class, so create finds the release it needs.
MAIN_CLASS = bytes.fromhex("cafebabe0000003d") + bytes(64)


def make_jar(path, manifest, seed, main=False):
    rng = random.Random(seed)
    words = ["class", "method", "field", "java", "lang", "String", "Object", "value", "get", "set"]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as jar:
        jar.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n" + manifest + "\n")
        if main:
            jar.writestr("Main.class", MAIN_CLASS)
        for i in range(150):
            text = " ".join(rng.choice(words) for _ in range(2000)).encode()
            jar.writestr("pkg%d/C%03d.class" % (seed, i), text + rng.randbytes(1200))


def make_application(folder):
    lib = os.path.join(folder, "lib")
    os.makedirs(lib)
    deps = [os.path.join(lib, "dep%02d.jar" % n) for n in range(1, DEPENDENCIES + 1)]
    for n, dep in enumerate(deps, start=1):
        following = "Class-Path: dep%02d.jar\n" % (n + 1) if n < DEPENDENCIES else ""
        make_jar(dep, following, n)
    main = os.path.join(folder, "main.jar")
    make_jar(main, "Main-Class: Main\nClass-Path: lib/dep01.jar\n", 0, main=True)
    return main, deps


def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    tool = os.path.join(build, "bin", "qmk-bundle")
    work = tempfile.mkdtemp(prefix="qmk-bench-manifest-")
    try:
        main_jar, deps = make_application(os.path.join(work, "app"))
        out = os.path.join(work, "out")
        os.makedirs(out)
        base = [tool, "create", "--name", "Chain", "--force", "--no-startup-cache",
                "--main-class", "Main"]
        ours = base + ["--out", os.path.join(out, "Ours.app"), "--jar", main_jar]
        reference = base + ["--out", os.path.join(out, "Given.app"), "--no-manifest-class-path",
                            "--jar", main_jar]
        for dep in deps:
            reference += ["--jar", dep]
        timed(ours), timed(reference)  # warm the page cache and check both work
        ours_times, reference_times = [], []
        for _ in range(runs):
            ours_times.append(timed(ours))
            reference_times.append(timed(reference))
        o, r = statistics.median(ours_times), statistics.median(reference_times)
        print("create, Class-Path chain of %d jars: %.1f ms; the same jars given with --jar: "
              "%.1f ms; ratio %.2f (%d runs each)" % (DEPENDENCIES, o * 1e3, r * 1e3, o / r, runs))
        rows = [{
            "figure": "create, main jar whose Class-Path chain names 20 jars",
            "ours": "%.1f ms" % (o * 1e3),
            "reference": "%.1f ms (--no-manifest-class-path, the 20 jars as --jar)" % (r * 1e3),
            "ratio": "%.2f" % (o / r),
            "target": "ratio <= 1.20",
            "met": o / r <= 1.20,
        }]
        if as_json:
            print(json.dumps(rows))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
