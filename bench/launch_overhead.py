#!/usr/bin/env python3
"""Start-up cost of appstub, and the size of both programs.

1. Launcher time: exec of appstub to its call of JLI_Launch, with the test runtime library that
   returns at once, against the same library called by a minimal C program with the vector
   appstub builds. Launcher time = median(appstub) - median(minimal). Two bundles: the smallest
   (a main class and one jar) and a realistic one (Info.plist with 20 options, a VM options
   file of 50 lines with two includes, a class path of 200 jars via "/*"). The test library
   also reports the page faults and peak resident memory as they stand at JLI_Launch.
2. Whole start of a Hello World program through appstub against `java -cp DIR Hello` of the
   same JDK: the ratio of medians.
3. The stripped sizes of appstub and setupstub.

Runs alternate between the program and its reference so that machine noise hits both alike.
Usage: bench/launch_overhead.py BUILD_DIR [RUNS] [--json]
With --json the last line is a JSON list of result rows for bench/run.
"""
import json
import os
import plistlib
import shutil
import statistics
import subprocess
import sys
import tempfile

from benchlib import alternate, fake_runtime, timed

args = [a for a in sys.argv[1:] if not a.startswith("--")]
as_json = "--json" in sys.argv
build = os.path.abspath(args[0] if args else "build")
runs = int(args[1]) if len(args) > 1 else 200
appstub = os.path.join(build, "bin", "appstub")
minimal = os.path.join(build, "bin", "minimal_launcher")
fake_jli = os.path.join(build, "lib", "libfakejli.so")
jdk = os.path.realpath("/usr/lib/jvm/java-17-openjdk-amd64")


def usage_at_launch(argv):
    """Minor page faults and peak resident memory (KiB) of one run as they stand when the test
    runtime library's JLI_Launch is called: the library writes them itself."""
    with tempfile.NamedTemporaryFile("r") as report:
        timed(argv, dict(os.environ, FAKE_JLI_USAGE=report.name))
        peak, faults = report.read().split()
    return int(faults), int(peak)


def alternate_usage(a, b, n):
    """Median page faults and peak memory at JLI_Launch of two commands, alternating."""
    ra, rb = [], []
    for i in range(n):
        if i % 2 == 0:
            ra.append(usage_at_launch(a))
            rb.append(usage_at_launch(b))
        else:
            rb.append(usage_at_launch(b))
            ra.append(usage_at_launch(a))
    med = lambda rows, k: statistics.median(r[k] for r in rows)
    return (med(ra, 0), med(ra, 1)), (med(rb, 0), med(rb, 1))


def stripped_size(path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        subprocess.run(["strip", "-o", out, path], check=True)
        return os.path.getsize(out)


def make_bundle(root, runtime, main_class, class_path, options, include_files):
    bundle = os.path.join(root, "Bench.app")
    os.makedirs(os.path.join(bundle, "Contents", "MacOS"))
    os.makedirs(os.path.join(bundle, "Contents", "Java"))
    shutil.copy(appstub, os.path.join(bundle, "Contents", "MacOS", "Bench"))
    info = {
        "CFBundleName": "Bench",
        "CFBundleIdentifier": "com.example.bench",
        "JavaVM": {
            "MainClass": main_class,
            "ClassPath": class_path,
            "VMOptionArray": options,
            "SearchSequence": ["R" + runtime],
        },
    }
    with open(os.path.join(bundle, "Contents", "Info.plist"), "wb") as f:
        plistlib.dump(info, f)
    for name, lines in include_files.items():
        with open(os.path.join(root, name), "w") as f:
            f.write("\n".join(lines) + "\n")
    return os.path.join(bundle, "Contents", "MacOS", "Bench")


def launcher_time(tmp):
    runtime = fake_runtime(tmp, fake_jli)
    jars = os.path.join(tmp, "Bench.app", "Contents", "Java")
    options = ["-Dbench.option%d=value%d" % (i, i) for i in range(20)]
    lines = ["# bench options"] + ["-Dbench.file%d=v%d" % (i, i) for i in range(46)]
    lines += ["-include-options inc1.vmoptions", "-include-options inc2.vmoptions",
              "-classpath/a $APP_PACKAGE/Contents/Java/*"]
    program = make_bundle(tmp, runtime, "bench.Main", "$APP_PACKAGE/Contents/Java/*", options,
                          {"Bench.vmoptions": lines,
                           "inc1.vmoptions": ["-Dinc1=1", "-Xss2m"],
                           "inc2.vmoptions": ["-Dinc2=2"]})
    for i in range(200):
        open(os.path.join(jars, "lib%03d.jar" % i), "w").close()
    # The reference gets a vector of the size and shape appstub builds.
    class_path = ":".join(os.path.join(jars, "lib%03d.jar" % i) for i in range(200))
    vector = ["-Dbench.x%d=value%d" % (i, i) for i in range(72)]
    vector += ["-Djava.class.path=" + class_path, "bench.Main"]
    a, b = alternate([lambda: timed([program]), lambda: timed([minimal, fake_jli] + vector)], runs)
    usage = alternate_usage([program], [minimal, fake_jli] + vector, max(20, runs // 5))
    return a, b, usage


def plain_launcher_time(tmp):
    """The smallest bundle: a main class and one jar, no options file."""
    runtime = fake_runtime(tmp, fake_jli)
    program = make_bundle(tmp, runtime, "bench.Main", "$APP_PACKAGE/Contents/Java/app.jar", [], {})
    jar = os.path.join(tmp, "Bench.app", "Contents", "Java", "app.jar")
    open(jar, "w").close()
    vector = ["-Djava.class.path=" + jar, "bench.Main"]
    a, b = alternate([lambda: timed([program]), lambda: timed([minimal, fake_jli] + vector)], runs)
    usage = alternate_usage([program], [minimal, fake_jli] + vector, max(20, runs // 5))
    return a, b, usage


def hello_ratio(tmp):
    src = os.path.join(tmp, "hello")
    os.makedirs(src)
    with open(os.path.join(src, "Hello.java"), "w") as f:
        f.write('public class Hello { public static void main(String[] a) '
                '{ System.out.println("Hello"); } }\n')
    subprocess.run([os.path.join(jdk, "bin", "javac"), "-d", src, os.path.join(src, "Hello.java")],
                   check=True)
    root = os.path.join(tmp, "apps")
    os.makedirs(root)
    program = make_bundle(root, jdk, "Hello", src, [], {})
    java = os.path.join(jdk, "bin", "java")
    n = max(20, runs // 5)
    return alternate([lambda: timed([program]), lambda: timed([java, "-cp", src, "Hello"])], n)


def launch_rows(name, ours, ref, faults, peak, ref_faults, ref_peak):
    print("launch to JLI_Launch, %s bundle, %d runs each: appstub median %.3f ms, minimal C "
          "launcher median %.3f ms, launcher time %.3f ms (target <= 0.25 ms); at JLI_Launch "
          "page faults %d against %d, peak memory %d KiB against %d KiB" %
          (name, runs, ours, ref, ours - ref, faults, ref_faults, peak, ref_peak))
    return [{"figure": "exec to JLI_Launch, %s bundle (launcher time = difference)" % name,
             "ours": "%.2f ms" % ours, "reference": "%.2f ms (minimal C launcher)" % ref,
             "ratio": "%.3f ms" % (ours - ref), "target": "<= 0.25 ms launcher time",
             "met": ours - ref <= 0.25},
            {"figure": "page faults / peak memory at JLI_Launch, %s bundle" % name,
             "ours": "%d / %d KiB" % (faults, peak),
             "reference": "%d / %d KiB (minimal C launcher)" % (ref_faults, ref_peak),
             "ratio": "%.2f / %.2f" % (faults / ref_faults, peak / ref_peak),
             "target": "reported", "met": True}]


def main():
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        ours, ref, ((faults, peak), (ref_faults, ref_peak)) = plain_launcher_time(tmp)
    rows += launch_rows("smallest", ours, ref, faults, peak, ref_faults, ref_peak)
    with tempfile.TemporaryDirectory() as tmp:
        ours, ref, ((faults, peak), (ref_faults, ref_peak)) = launcher_time(tmp)
    rows += launch_rows("realistic", ours, ref, faults, peak, ref_faults, ref_peak)
    size = stripped_size(appstub)
    print("appstub stripped: %d bytes (target < 2.5 MB)" % size)
    rows.append({"figure": "appstub stripped size", "ours": "%.2f MB" % (size / 1e6),
                 "reference": "", "ratio": "", "target": "< 2.5 MB", "met": size < 2.5e6})
    size = stripped_size(os.path.join(build, "bin", "setupstub"))
    print("setupstub stripped: %d bytes (target < 3.5 MB)" % size)
    rows.append({"figure": "setupstub stripped size", "ours": "%.2f MB" % (size / 1e6),
                 "reference": "", "ratio": "", "target": "< 3.5 MB", "met": size < 3.5e6})
    with tempfile.TemporaryDirectory() as tmp:
        ours, ref = hello_ratio(tmp)
    print("Hello World start, %d runs each: appstub median %.1f ms, java -cp median %.1f ms, "
          "ratio %.3f (target <= 1.03)" % (max(20, runs // 5), ours, ref, ours / ref))
    rows.append({"figure": "Hello World start through appstub", "ours": "%.1f ms" % ours,
                 "reference": "%.1f ms (java -cp)" % ref, "ratio": "%.3f" % (ours / ref),
                 "target": "ratio <= 1.03", "met": ours / ref <= 1.03})
    if as_json:
        print(json.dumps(rows))


if __name__ == "__main__":
    main()
