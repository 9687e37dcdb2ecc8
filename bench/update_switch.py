#!/usr/bin/env python3
"""What the switch to a staged update costs a start.

1. A start of a bundle with the update keys and nothing staged, against the same bundle without
   the keys (its Info.plist of the same size): from the spawn of appstub to the end of the
   process, whose test runtime library's JLI_Launch returns at once. The difference is what
   looking for a staged version costs.
2. A start that switches to a staged version and re-executes the new version's launcher, to
   the same moment, against a plain start of the bundle with nothing staged. Between switching
   runs the two versions are renamed back (outside the timing).
3. The floor under 2: what one re-execution of the smallest C program (bin/floors) costs on
   this machine.

Runs alternate between a start and its reference so that machine noise hits both alike.
Usage: bench/update_switch.py BUILD_DIR [RUNS] [--json] [--quick]
With --json the last line is a JSON list of result rows for bench/run.
"""
import json
import os
import plistlib
import shutil
import sys
import tempfile

from benchlib import alternate, fake_runtime, timed

args = [a for a in sys.argv[1:] if not a.startswith("--")]
as_json = "--json" in sys.argv
quick = "--quick" in sys.argv
build = os.path.abspath(args[0] if args else "build")
runs = int(args[1]) if len(args) > 1 else (100 if quick else 1000)
appstub = os.path.join(build, "bin", "appstub")
fake_jli = os.path.join(build, "lib", "libfakejli.so")
floors = os.path.join(build, "bin", "floors")


def make_bundle(path, runtime, version, keys=True):
    """The smallest bundle with the update keys; without them, a key of the same length in their
    place, so that both property lists are read alike."""
    os.makedirs(os.path.join(path, "Contents", "MacOS"))
    os.makedirs(os.path.join(path, "Contents", "Java"))
    shutil.copy(appstub, os.path.join(path, "Contents", "MacOS", "Bench"))
    open(os.path.join(path, "Contents", "Java", "app.jar"), "w").close()
    key_name = "qmk.updateKey" if keys else "qmk.updateKeX"
    info = {
        "CFBundleName": "Bench",
        "CFBundleIdentifier": "com.example.bench",
        "CFBundleExecutable": "Bench",
        "CFBundleShortVersionString": version,
        "qmk.updateURL": "http://127.0.0.1:9/update.json",
        key_name: "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",
        "JavaVM": {
            "MainClass": "bench.Main",
            "ClassPath": "$APP_PACKAGE/Contents/Java/app.jar",
            "SearchSequence": ["R" + runtime],
        },
    }
    with open(os.path.join(path, "Contents", "Info.plist"), "wb") as f:
        plistlib.dump(info, f)
    return os.path.join(path, "Contents", "MacOS", "Bench")


def keys_cost(tmp, env):
    runtime = fake_runtime(tmp, fake_jli)
    keyed = make_bundle(os.path.join(tmp, "a", "Bench.app"), runtime, "1", keys=True)
    plain = make_bundle(os.path.join(tmp, "b", "Bench.app"), runtime, "1", keys=False)
    return alternate([lambda: timed([keyed], env, check=True),
                      lambda: timed([plain], env, check=True)], runs)


def switch_cost(tmp, env):
    runtime = fake_runtime(tmp, fake_jli)
    apps = os.path.join(tmp, "apps")
    bundle = os.path.join(apps, "Bench.app")
    staged = os.path.join(apps, ".Bench.app.update")
    previous = os.path.join(apps, ".Bench.app.previous")
    program = make_bundle(bundle, runtime, "1")
    make_bundle(staged, runtime, "2")
    other_apps = os.path.join(tmp, "other")
    reference = make_bundle(os.path.join(other_apps, "Bench.app"), runtime, "1")

    def switching():
        ms = timed([program], env, check=True)
        # Back to the version before the switch, the new one staged again.
        os.rename(bundle, staged)
        os.rename(previous, bundle)
        return ms

    n = max(20, runs // 5)
    return alternate([switching, lambda: timed([reference], env, check=True)], n)


def reexec_cost():
    """What one re-execution of the smallest C program costs on this machine, in ms: the floor
    under a switch's cost, since a switch re-executes the new version's launcher."""
    twice, once = alternate([lambda: timed([floors, "exec", "1"], check=True),
                             lambda: timed([floors, "exec", "0"], check=True)], max(20, runs // 5))
    return twice - once


def main():
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(tmp, "state"))
        env.pop("QUILLMARK_LOG", None)
        keyed, plain = keys_cost(tmp, env)
    print("start with the update keys and nothing staged, %d runs each: median %.3f ms, without "
          "the keys %.3f ms, difference %.3f ms (target <= 0.02 ms)" %
          (runs, keyed, plain, keyed - plain))
    rows.append({"figure": "start with update keys, nothing staged (difference = cost)",
                 "ours": "%.3f ms" % keyed, "reference": "%.3f ms (same bundle without keys)" % plain,
                 "ratio": "%.3f ms" % (keyed - plain), "target": "<= 0.02 ms more",
                 "met": keyed - plain <= 0.02})
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(tmp, "state"))
        env.pop("QUILLMARK_LOG", None)
        switching, plain = switch_cost(tmp, env)
    print("start that switches to a staged update, to JLI_Launch, %d runs each: median %.3f ms, "
          "plain start %.3f ms, difference %.3f ms (target <= 2 ms)" %
          (max(20, runs // 5), switching, plain, switching - plain))
    rows.append({"figure": "start that switches to a staged update, to JLI_Launch",
                 "ours": "%.2f ms" % switching, "reference": "%.2f ms (plain start)" % plain,
                 "ratio": "%.2f ms" % (switching - plain), "target": "<= 2 ms more",
                 "met": switching - plain <= 2})
    floor = reexec_cost()
    print("one re-execution of the smallest C program: %.2f ms (the floor under a switch's cost)"
          % floor)
    rows.append({"figure": "one re-execution of the smallest C program (the floor under a "
                           "switch's cost)", "ours": "%.2f ms" % floor, "reference": "(machine)",
                 "ratio": "-", "target": "(report)", "met": True})
    if as_json:
        print(json.dumps(rows))


if __name__ == "__main__":
    main()
