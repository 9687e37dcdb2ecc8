#!/usr/bin/env python3
"""qmk-bundle package against the JDK's own packager (jpackage --type deb of JDK 17), for one
real Swing application from Debian's packages (GpsPrune, /usr/share/gpsprune/gpsprune.jar).

- build time: `qmk-bundle create --runtime jlink` + `qmk-bundle package --type deb` against
  `jpackage --type deb` of the same jar (both run jlink and dpkg-deb); alternating, medians;
- package size, Depends entries and maintainer scripts of the two .deb files;
- start: our package installed with apt; under Xvfb, the time from running the installed menu
  entry's Exec line (read from /usr/share/applications, field codes dropped, executed as a
  desktop executes it: through /usr/bin/<command>) until the application's main window is
  mapped, against running the bundle's launcher directly; alternating, medians. The window
  appears only after the main class has run, so both figures include the whole start.
  `gtk-launch <entry>` is reported beside them: it adds gtk-launch's own start (a GTK program
  looking for a session bus), which is the tool's cost, not the entry's.

Needs root (it installs and purges its package). Usage: bench/package_bench.py BUILD_DIR
[--json] [--quick]. With --json the last line is a JSON list of result rows for bench/run.
"""
import json
import os
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

args = [a for a in sys.argv[1:] if not a.startswith("--")]
as_json = "--json" in sys.argv
quick = "--quick" in sys.argv
build = os.path.abspath(args[0] if args else "build")
bundler = os.path.join(build, "bin", "qmk-bundle")
jdk = "/usr/lib/jvm/java-17-openjdk-amd64"
jar = "/usr/share/gpsprune/gpsprune.jar"
package = "qmk-bench-gpsprune"
reference_package = "qmk-bench-gpsprune-ref"
desktop_id = "org.example.qmkbench.gpsprune"
window_class = "tim-prune-GpsPrune"
builds = 1 if quick else 3
starts = 3 if quick else 7
apt_env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")


def run(argv, **kw):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kw)


def timed(argv, **kw):
    start = time.monotonic()
    run(argv, **kw)
    return time.monotonic() - start


def purge(name):
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], capture_output=True,
                            text=True)
    if status.returncode == 0 and "not-installed" not in status.stdout:
        run(["apt-get", "purge", "-y", "-q", name], env=apt_env)


def ours(work, index):
    out = os.path.join(work, "ours%d" % index)
    os.makedirs(out)
    start = time.monotonic()
    run([bundler, "create", "--name", "GpsPrune", "--jar", jar, "--runtime", "jlink=" + jdk,
         "--identifier", desktop_id, "--version", "22.2", "--out", os.path.join(out, "GpsPrune.app")])
    run([bundler, "package", os.path.join(out, "GpsPrune.app"), "--type", "deb", "--out", out,
         "--package-name", package, "--maintainer", "Bench <bench@example.org>",
         "--category", "Education"])
    return time.monotonic() - start, os.path.join(out, "%s_22.2-1_amd64.deb" % package)


def reference(work, index):
    out = os.path.join(work, "ref%d" % index)
    inputs = os.path.join(work, "input")
    os.makedirs(inputs, exist_ok=True)
    shutil.copy(jar, inputs)
    start = time.monotonic()
    run([jdk + "/bin/jpackage", "--type", "deb", "--input", inputs, "--main-jar", "gpsprune.jar",
         "--name", reference_package, "--app-version", "22.2", "--linux-shortcut",
         "--linux-package-name", reference_package, "--dest", out])
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    return time.monotonic() - start, os.path.join(out, debs[0])


def depends(deb):
    field = run(["dpkg-deb", "-f", deb, "Depends"]).stdout.strip()
    return [d for d in field.split(",") if d.strip()]


def scripts(deb):
    control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", deb], check=True,
                             capture_output=True).stdout
    names = subprocess.run(["tar", "-t"], input=control, check=True,
                           capture_output=True).stdout.decode().split()
    return [n for n in names if n.lstrip("./") in ("preinst", "postinst", "prerm", "postrm")]


class Xvfb:
    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                         "1280x1024x24", "-nolisten", "tcp"], pass_fds=[write],
                                        stderr=subprocess.DEVNULL)
        os.close(write)
        self.display = ":" + os.read(read, 64).decode().strip()
        os.close(read)

    def close(self):
        self.process.terminate()
        self.process.wait()


def exec_line(desktop_file):
    """The entry's Exec line as a desktop runs it: split by the quoting rules, field codes
    dropped (the bench opens no file)."""
    with open(desktop_file) as entry:
        for line in entry:
            if line.startswith("Exec="):
                return [a for a in shlex.split(line[len("Exec="):].strip())
                        if not (len(a) == 2 and a.startswith("%"))]
    raise RuntimeError("no Exec line in " + desktop_file)


def time_to_window(argv, env):
    """Seconds from starting `argv` until a window of the application is mapped; the
    application is ended (by the pid of its window) afterwards."""
    start = time.monotonic()
    starter = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class",
                            window_class], env=env, capture_output=True, text=True, timeout=120)
    elapsed = time.monotonic() - start
    if not found.stdout.split():
        raise RuntimeError("no window of %s on %s: %s" % (window_class, env["DISPLAY"], found.stderr))
    window = found.stdout.split()[0]
    pid = int(run(["xdotool", "getwindowpid", window], env=env).stdout)
    os.kill(pid, signal.SIGTERM)
    # gtk-launch ends once it has started the application; a launcher run directly is the
    # application itself.
    starter.wait(timeout=30)
    for _ in range(100):
        if not os.path.exists("/proc/%d" % pid):
            break
        time.sleep(0.05)
    return elapsed


def main():
    if os.geteuid() != 0 or not os.path.exists(jar):
        sys.exit("package_bench: needs root and Debian's gpsprune (scripts/setup)")
    work = tempfile.mkdtemp(prefix="qmk-package-bench-")
    purge(package)
    purge(reference_package)
    x = None
    try:
        our_times, ref_times = [], []
        for i in range(builds):
            t, our_deb = ours(work, i)
            our_times.append(t)
            t, ref_deb = reference(work, i)
            ref_times.append(t)
        run(["apt-get", "install", "-y", "-q", our_deb], env=apt_env)
        x = Xvfb()
        home = os.path.join(work, "home")
        os.makedirs(home)
        env = dict(os.environ, DISPLAY=x.display, HOME=home)
        launcher = "/opt/%s/GpsPrune.app/Contents/MacOS/GpsPrune" % package
        time_to_window([launcher], env)  # a first start fills the page cache for both
        entry = exec_line("/usr/share/applications/%s.desktop" % desktop_id)
        menu, direct, tool = [], [], []
        for _ in range(starts):
            menu.append(time_to_window(entry, env))
            direct.append(time_to_window([launcher], env))
            tool.append(time_to_window(["gtk-launch", desktop_id], env))

        our_size, ref_size = os.path.getsize(our_deb), os.path.getsize(ref_deb)
        our_build, ref_build = statistics.median(our_times), statistics.median(ref_times)
        our_deps, ref_deps = depends(our_deb), depends(ref_deb)
        our_scripts, ref_scripts = scripts(our_deb), scripts(ref_deb)
        t_menu, t_direct = statistics.median(menu), statistics.median(direct)
        t_tool = statistics.median(tool)
        rows = [
            {"figure": "GpsPrune .deb size", "ours": "%.1f MB" % (our_size / 1e6),
             "reference": "%.1f MB (jpackage, JDK 17)" % (ref_size / 1e6),
             "ratio": "%.2f" % (our_size / ref_size), "target": "ratio <= 0.75",
             "met": our_size <= 0.75 * ref_size},
            {"figure": "GpsPrune .deb build time (create + package)", "ours": "%.1f s" % our_build,
             "reference": "%.1f s (jpackage)" % ref_build, "ratio": "%.2f" % (our_build / ref_build),
             "target": "ratio <= 0.7", "met": our_build <= 0.7 * ref_build},
            {"figure": "GpsPrune .deb Depends entries", "ours": "%d (%s)" % (
                len(our_deps), ", ".join(d.strip() for d in our_deps)),
             "reference": "%d (jpackage)" % len(ref_deps), "ratio": "",
             "target": "fewer, all from the files", "met": len(our_deps) < len(ref_deps)},
            {"figure": "GpsPrune .deb maintainer scripts", "ours": "%d" % len(our_scripts),
             "reference": "%d (%s)" % (len(ref_scripts), " ".join(ref_scripts)), "ratio": "",
             "target": "0", "met": not our_scripts},
            {"figure": "GpsPrune start to its window: installed menu entry's Exec line (%s)"
                       % " ".join(entry),
             "ours": "%.0f ms" % (t_menu * 1000),
             "reference": "%.0f ms (the bundle's launcher run directly)" % (t_direct * 1000),
             "ratio": "%.3f" % (t_menu / t_direct), "target": "ratio <= 1.05",
             "met": t_menu <= 1.05 * t_direct},
            {"figure": "GpsPrune start to its window through gtk-launch (its own start included)",
             "ours": "%.0f ms" % (t_tool * 1000),
             "reference": "%.0f ms (the bundle's launcher run directly)" % (t_direct * 1000),
             "ratio": "%.3f" % (t_tool / t_direct), "target": "reported", "met": True},
        ]
        for r in rows:
            print("%s: %s against %s (ratio %s, target %s)" % (
                r["figure"], r["ours"], r["reference"], r["ratio"], r["target"]))
        if as_json:
            print(json.dumps(rows))
    finally:
        if x:
            x.close()
        purge(package)
        purge(reference_package)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
