#!/usr/bin/env python3
"""The installer's heavy work against the command-line tools users would otherwise run.

1. Extraction: UnTar (build/bin/untar_tool) against `tar -xzf` of GNU tar on the same archive,
   for the runtime made with `jlink --add-modules java.base` and for a 1 GB synthetic archive
   (that runtime plus 1 GB of files, a quarter random bytes and the rest text-like: roughly how
   a runtime compresses).
   Target: median(UnTar) / median(tar) <= 1.05.
2. Peak memory (VmHWM) of the headless setupstub while it extracts the 1 GB archive shipped in an
   installer bundle. Target: under 16 MiB.
3. Download: 500 MB from the loopback test server (tests/fixtures/http_server.py) with the
   platform download (build/bin/download_tool) against the `curl` command line.
   Target: throughput at least 0.9 of curl's.

Runs alternate between the program and its reference so that machine noise hits both alike;
inputs are made once and kept in $QMK_BENCH_DIR (default /tmp/qmk-bench-installer).
Usage: bench/installer_bench.py BUILD_DIR [RUNS] [--quick] [--json]
--quick: three runs each. --json: the last line is a JSON list of result rows for bench/run.
"""
import json
import os
import plistlib
import random
import shutil
import statistics
import subprocess
import sys
import time

args = [a for a in sys.argv[1:] if not a.startswith("--")]
as_json = "--json" in sys.argv
build = os.path.abspath(args[0] if args else "build")
runs = int(args[1]) if len(args) > 1 else (3 if "--quick" in sys.argv else 5)
source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
work = os.environ.get("QMK_BENCH_DIR", "/tmp/qmk-bench-installer")
jdk = os.path.realpath("/usr/lib/jvm/java-17-openjdk-amd64")
MiB = 1024 * 1024


def run(argv, **kwargs):
    subprocess.run(argv, check=True, **kwargs)


def timed(argv):
    start = time.perf_counter()
    run(argv, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def runtime_archive():
    archive = os.path.join(work, "jre.tar.gz")
    if os.path.exists(archive):
        return archive
    bundle = os.path.join(work, "jre.bundle")
    shutil.rmtree(bundle, ignore_errors=True)
    os.makedirs(os.path.join(bundle, "Contents"))
    run([os.path.join(jdk, "bin/jlink"), "--add-modules", "java.base", "--strip-debug",
         "--no-header-files", "--no-man-pages", "--output", os.path.join(bundle, "Contents/Home")])
    with open(os.path.join(bundle, "Contents/Info.plist"), "wb") as f:
        plistlib.dump({"JavaVM": {"JVMVersion": "17"}}, f)
    run(["tar", "-czf", archive, "-C", bundle, "."])
    return archive


def synthetic_archive():
    """The runtime bundle with 1 GB of filler in Contents/Home/lib/filler: still a runtime."""
    archive = os.path.join(work, "synthetic-1g.tar.gz")
    if os.path.exists(archive):
        return archive
    tree = os.path.join(work, "synthetic")
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(os.path.join(work, "jre.bundle"), tree, symlinks=True)
    rng = random.Random(1)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10)))
             for _ in range(4000)]
    text = b" ".join(rng.choice(words) for _ in range(200000))[:MiB]
    for i in range(256):  # 256 files of 4 MiB
        path = os.path.join(tree, "Contents/Home/lib/filler", "d%02d" % (i % 16), "file%03d.bin" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(os.urandom(MiB))
            for k in range(3):
                shift = (i * 3 + k) * 4099 % MiB
                f.write(text[shift:] + text[:shift])
    run(["tar", "-czf", archive, "-C", tree, "."])
    shutil.rmtree(tree)
    return archive


def compare(name, ours, reference, prepare):
    """Alternating runs; prepare() before each (not timed). Returns the two medians."""
    a, b = [], []
    for _ in range(runs):
        prepare()
        a.append(timed(ours))
        prepare()
        b.append(timed(reference))
    ma, mb = statistics.median(a), statistics.median(b)
    print("%-34s ours %8.3f s   reference %8.3f s   ratio %.3f" % (name, ma, mb, ma / mb))
    return ma, mb


def extraction(archive, label):
    out = os.path.join(work, "out")

    def fresh():
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        run(["sync"])

    ours, tar = compare("extract " + label, [os.path.join(build, "bin/untar_tool"), archive, out],
                        ["tar", "-xzf", archive, "-C", out], fresh)
    shutil.rmtree(out, ignore_errors=True)
    return {"figure": "extract the %s archive" % label, "ours": "%.3f s" % ours,
            "reference": "%.3f s (tar -xzf)" % tar, "ratio": "%.2f" % (ours / tar),
            "target": "ratio <= 1.05", "met": ours / tar <= 1.05}


def peak_memory(archive):
    app = os.path.join(work, "Bench.app")
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(os.path.join(app, "Contents/MacOS"))
    os.makedirs(os.path.join(app, "Contents/Resources/app"))
    shutil.copy(os.path.join(build, "bin/setupstub"), os.path.join(app, "Contents/MacOS/setupstub"))
    os.link(archive, os.path.join(app, "Contents/Resources/app/jre.tar.gz"))
    with open(os.path.join(app, "Contents/Info.plist"), "wb") as f:
        # The "installer" is the runtime's own version report: it ends at once.
        plistlib.dump({"CFBundleName": "Bench", "qmk.jreUncompressedSize": 1100000000,
                       "JavaVM": {"MainClass": "-version"}}, f)
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = dict(os.environ, TMPDIR=tmp)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QUILLMARK_LOG"):
        env.pop(name, None)
    process = subprocess.Popen([os.path.join(app, "Contents/MacOS/setupstub")], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            with open("/proc/%d/status" % process.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.02)
    print("%-34s VmHWM %.1f MiB (status %d)" % ("headless setupstub, 1 GB archive", peak / 1024,
                                                process.returncode))
    shutil.rmtree(app)
    mib = peak / 1024
    return {"figure": "peak memory of the headless setupstub extracting 1 GB",
            "ours": "%.1f MiB" % mib, "reference": "16 MiB (the target)",
            "ratio": "%.2f" % (mib / 16), "target": "< 16 MiB",
            "met": mib < 16 and process.returncode == 0}


def download():
    big = os.path.join(work, "big.bin")
    if not os.path.exists(big) or os.path.getsize(big) != 500 * 1000 * 1000:
        with open(big, "wb") as f:
            for _ in range(500):
                f.write(os.urandom(1000 * 1000))
    server = subprocess.Popen([sys.executable, os.path.join(source, "tests/fixtures/http_server.py"),
                               "--root", work], stdout=subprocess.PIPE)
    port = int(server.stdout.readline())
    url = "http://127.0.0.1:%d/files/big.bin" % port
    out = os.path.join(work, "downloaded.bin")
    env_before = os.environ.get("no_proxy")
    os.environ["no_proxy"] = "127.0.0.1"
    try:
        def fresh():
            if os.path.exists(out):
                os.unlink(out)

        ours, curl = compare("download 500 MB from loopback",
                             [os.path.join(build, "bin/download_tool"), url, out],
                             ["curl", "-s", "-o", out, url], fresh)
        print("%-34s ours %6.0f MB/s   curl %6.0f MB/s   ratio %.3f" %
              ("throughput", 500 / ours, 500 / curl, curl / ours))
        return {"figure": "download 500 MB from loopback", "ours": "%.0f MB/s" % (500 / ours),
                "reference": "%.0f MB/s (curl)" % (500 / curl), "ratio": "%.2f" % (curl / ours),
                "target": "ratio >= 0.9", "met": curl / ours >= 0.9}
    finally:
        server.kill()
        if env_before is None:
            os.environ.pop("no_proxy", None)
        if os.path.exists(out):
            os.unlink(out)


def main():
    os.makedirs(work, exist_ok=True)
    jre = runtime_archive()
    synthetic = synthetic_archive()
    print("archives: jlink runtime %.1f MB, synthetic %.1f MB compressed" %
          (os.path.getsize(jre) / 1e6, os.path.getsize(synthetic) / 1e6))
    rows = [extraction(jre, "jlink runtime"), extraction(synthetic, "1 GB synthetic"),
            peak_memory(synthetic), download()]
    if as_json:
        print(json.dumps(rows))


if __name__ == "__main__":
    main()
