#!/usr/bin/env python3
"""The startup cache ("qmk.startupCache"): whole starts through appstub with the cache on
against `java -cp ...` of the same runtime, on every runtime in /usr/lib/jvm.

Applications: Debian's Rhino shell running a one-line script (/usr/share/java/js.jar, package
rhino), a Swing program that builds the components of a window headlessly
(bench/java/SwingWindow.java), and Debian's Maven (package maven, /usr/share/maven/lib: 40 jars,
about 1,800 classes of its own) checking a one-module project offline (`mvn -o -q validate`,
started as its own class path rather than through its launcher's class loaders). Maven's jars
are copied into its bundle, which is named with a blank ("Maven Build.app") as most bundles are;
the plain reference starts the same copies.

- using run: the cache made beforehand; appstub against plain java, alternating; ratio of medians.
- creating run: the cache removed before each start (and its builder, which works after the start
  has ended, waited for outside the timing); against plain java, alternating.

Usage: bench/startup_cache.py BUILD_DIR [RUNS] [--json] [--quick]
With --json the last line is a JSON list of result rows for bench/run.
"""
import glob
import json
import os
import plistlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

args = [a for a in sys.argv[1:] if not a.startswith("--")]
as_json = "--json" in sys.argv
quick = "--quick" in sys.argv
build = os.path.abspath(args[0] if args else "build")
runs = int(args[1]) if len(args) > 1 else (5 if quick else 15)
larger_runs = 3 if quick else 9
appstub = os.path.join(build, "bin", "appstub")
here = os.path.dirname(os.path.abspath(__file__))
rhino = "/usr/share/java/js.jar"
maven_home = "/usr/share/maven"
MAVEN_POM = """<project xmlns="http://maven.apache.org/POM/4.0.0">
  <modelVersion>4.0.0</modelVersion>
  <groupId>org.example</groupId>
  <artifactId>bench</artifactId>
  <version>1.0</version>
</project>
"""
# Targets for the real application where the issue names them.
using_target = {17: 0.65, 25: 0.65}
creating_target = 1.5


def runtimes():
    seen = {}
    for home in sorted(glob.glob("/usr/lib/jvm/*")):
        real = os.path.realpath(home)
        if real in seen or not os.access(os.path.join(real, "bin", "java"), os.X_OK):
            continue
        version = None
        try:
            for line in open(os.path.join(real, "release")):
                if line.startswith("JAVA_VERSION="):
                    version = line.split("=", 1)[1].strip().strip('"')
        except OSError:
            continue
        if version:
            seen[real] = int(version.split(".")[0].split("-")[0])
    return sorted(seen.items(), key=lambda item: item[1])


def timed(argv, env):
    start = time.perf_counter_ns()
    subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter_ns() - start) / 1e6


def make_bundle(root, runtime, name, main_class, class_path, options, arguments, bundled):
    """The bundle's launcher and the class path both starts use. A bundled application's jars
    are copied into Contents/Java, as qmk-bundle does."""
    bundle = os.path.join(root, name + ".app")
    os.makedirs(os.path.join(bundle, "Contents", "MacOS"))
    shutil.copy(appstub, os.path.join(bundle, "Contents", "MacOS", "App"))
    if bundled:
        java = os.path.join(bundle, "Contents", "Java")
        os.makedirs(java)
        copies = []
        for jar in class_path.split(":"):
            copies.append(os.path.join(java, os.path.basename(jar)))
            shutil.copy(jar, copies[-1])
        class_path = ":".join(copies)
    info = {
        "CFBundleIdentifier": "com.example.cachebench." + os.path.basename(bundle),
        "qmk.startupCache": True,
        "JavaVM": {"MainClass": main_class, "ClassPath": class_path, "VMOptionArray": options,
                   "ArgumentArray": arguments, "SearchSequence": ["R" + runtime]},
    }
    with open(os.path.join(bundle, "Contents", "Info.plist"), "wb") as f:
        plistlib.dump(info, f)
    return os.path.join(bundle, "Contents", "MacOS", "App"), class_path


def wait_for_builder(cache):
    for _ in range(1200):
        if not glob.glob(os.path.join(cache, "*", "*", "*.classlist")):
            return
        time.sleep(0.05)


def alternate(a, b, n):
    ta, tb = [], []
    for i in range(n):
        first, second = (a, b) if i % 2 == 0 else (b, a)
        r1, r2 = first(), second()
        (ta if first is a else tb).append(r1)
        (tb if first is a else ta).append(r2)
    return statistics.median(ta), statistics.median(tb)


def applications(tmp):
    apps = []
    if os.path.exists(rhino):
        apps.append(("Rhino shell, one-line script", "Shell",
                     "org.mozilla.javascript.tools.shell.Main", rhino, [], ["-e", "print(6*7)"],
                     False))
    classes = os.path.join(tmp, "classes")
    jdk = "/usr/lib/jvm/java-17-openjdk-amd64"
    subprocess.run([jdk + "/bin/javac", "--release", "11", "-d", classes,
                    os.path.join(here, "java", "SwingWindow.java")], check=True)
    jar = os.path.join(tmp, "swing-window.jar")
    subprocess.run([jdk + "/bin/jar", "--create", "--file", jar, "-C", classes, "."], check=True)
    apps.append(("Swing window built headlessly", "SwingWindow", "SwingWindow", jar,
                 ["-Djava.awt.headless=true"], [], False))
    maven_jars = sorted(glob.glob(os.path.join(maven_home, "lib", "*.jar")) +
                        glob.glob(os.path.join(maven_home, "boot", "*.jar")))
    if maven_jars:
        project = os.path.join(tmp, "maven-project")
        os.makedirs(project)
        with open(os.path.join(project, "pom.xml"), "w") as f:
            f.write(MAVEN_POM)
        apps.append(("Maven, offline validate of a project", "Maven Build",
                     "org.apache.maven.cli.MavenCli", ":".join(maven_jars),
                     ["-Dmaven.home=" + maven_home,
                      "-Dmaven.multiModuleProjectDirectory=" + project,
                      "-Dmaven.repo.local=" + os.path.join(tmp, "maven-repository")],
                     ["-o", "-B", "-q", "-f", os.path.join(project, "pom.xml"), "validate"],
                     True))
    return apps


def measure(tmp, runtime, major, app):
    name, bundle_name, main_class, class_path, options, arguments, bundled = app
    root = tempfile.mkdtemp(dir=tmp)
    cache = os.path.join(root, "cache")
    env = dict(os.environ, XDG_CACHE_HOME=cache)
    env.pop("QUILLMARK_LOG", None)
    program, class_path = make_bundle(root, runtime, bundle_name, main_class, class_path,
                                      options, arguments, bundled)
    plain = [runtime + "/bin/java"] + options + ["-cp", class_path, main_class] + arguments

    def creating():
        shutil.rmtree(cache, ignore_errors=True)
        t = timed([program], env)
        wait_for_builder(cache)
        return t

    # Maven's starts take seconds and its archive many more to build: fewer runs keep it bounded.
    n = min(runs, larger_runs) if name.startswith("Maven") else runs
    rows = []
    ours, ref = alternate(creating, lambda: timed(plain, env), n)
    rows.append({
        "figure": "%s, JDK %d: creating run" % (name, major),
        "ours": "%.0f ms" % ours, "reference": "%.0f ms (java -cp)" % ref,
        "ratio": "%.2f" % (ours / ref), "target": "<= %.1f" % creating_target,
        "met": ours / ref <= creating_target})
    timed([program], env)
    wait_for_builder(cache)
    ours, ref = alternate(lambda: timed([program], env), lambda: timed(plain, env), n)
    target = using_target.get(major) if name.startswith("Rhino") else None
    rows.append({
        "figure": "%s, JDK %d: with the cache" % (name, major),
        "ours": "%.0f ms" % ours, "reference": "%.0f ms (java -cp)" % ref,
        "ratio": "%.2f" % (ours / ref), "target": "<= %.2f" % target if target else "(report)",
        "met": ours / ref <= target if target else True})
    return rows


def main():
    tmp = tempfile.mkdtemp(prefix="qmk-bench-cache-")
    try:
        rows = []
        apps = applications(tmp)
        for runtime, major in runtimes():
            for app in apps:
                rows += measure(tmp, runtime, major, app)
        for r in rows:
            print("%-60s %10s %22s %6s %8s" % (r["figure"], r["ours"], r["reference"], r["ratio"],
                                              r["target"]))
        if as_json:
            print(json.dumps(rows))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
