#!/usr/bin/env python3
"""The update checker's CPU time per check when the feed offers nothing new, against fetching
the same two files (feed and signature) with the curl program, in the same invocation.

Usage: update_check.py BUILD_DIR [--quick] [--json]
"""
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def children_cpu_ms():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (u.ru_utime + u.ru_stime) * 1e3


def main():
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv
    reps = 10 if quick else 50
    bundler = os.path.join(build, "bin", "qmk-bundle")
    tmp = tempfile.mkdtemp(prefix="qmk-bench-update-")
    server = None
    try:
        site = os.path.join(tmp, "site")
        os.makedirs(site)
        server = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tests/fixtures/http_server.py"), "--root", site],
            stdout=subprocess.PIPE, text=True)
        port = int(server.stdout.readline())
        url = "http://127.0.0.1:%d/files/update.json" % port
        key = subprocess.run([bundler, "keygen", "--out", os.path.join(tmp, "key")],
                             check=True, capture_output=True, text=True).stdout.strip()
        classes = os.path.join(build, "fixtures", "classes")
        jar = os.path.join(tmp, "probe.jar")
        subprocess.run(["jar", "--create", "--file", jar, "-C", classes, "Probe.class"], check=True)
        app = os.path.join(tmp, "App.app")
        subprocess.run([bundler, "create", "--name", "App", "--jar", jar, "--main-class", "Probe",
                        "--identifier", "org.example.bench", "--no-startup-cache",
                        "--update-url", url, "--update-key", key, "--version", "1.0",
                        "--out", app],
                       check=True, capture_output=True)
        subprocess.run([bundler, "publish", app, "--key", os.path.join(tmp, "key"), "--to", site],
                       check=True)
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(tmp, "state"))
        ours, reference = [], []
        tool = os.path.join(build, "bin", "update_check_tool")
        for _ in range(reps):
            out = subprocess.run([tool, app, "1"], check=True, capture_output=True, text=True,
                                 env=env).stdout
            ours.append(float(out.split()[0]))
            before = children_cpu_ms()
            for path in (url, url + ".sig"):
                subprocess.run(["curl", "-s", "-o", "/dev/null", path], check=True)
            reference.append(children_cpu_ms() - before)
        o, r = statistics.median(ours), statistics.median(reference)
        rows = [{
            "figure": "update checker, CPU time per check with nothing new",
            "ours": "%.1f ms" % o,
            "reference": "%.1f ms (curl fetching feed and signature)" % r,
            "ratio": "%.2f" % (o / r if r else float("nan")),
            "target": "reported",
            "met": True,
        }]
        for row in rows:
            print("%-60s %10s %40s %6s" % (row["figure"], row["ours"], row["reference"],
                                           row["ratio"]))
        if "--json" in sys.argv:
            print(json.dumps(rows))
    finally:
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
