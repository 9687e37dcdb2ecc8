"""What the launcher benchmarks share: timing one run, alternating a program with its
reference, and a runtime whose launcher library returns at once."""
import os
import statistics
import time


def timed(argv, env=None, check=False):
    """Wall time in ms of one run, its output discarded. With check, a run that does not end
    with status 0 stops the benchmark."""
    # posix_spawn (a vfork underneath) rather than fork: cheaper, and the same for all programs.
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        start = time.perf_counter_ns()
        pid = os.posix_spawn(argv[0], argv, env if env is not None else os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1),
                                           (os.POSIX_SPAWN_DUP2, devnull, 2)])
        _, status = os.waitpid(pid, 0)
        elapsed = (time.perf_counter_ns() - start) / 1e6
    finally:
        os.close(devnull)
    if check and os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s ended with %d" % (argv, os.waitstatus_to_exitcode(status)))
    return elapsed


def alternate(commands, n):
    """Medians of the commands' results, each round running them in a rotated order so that
    machine noise hits all of them alike."""
    results = [[] for _ in commands]
    for i in range(n):
        for k in range(len(commands)):
            j = (i + k) % len(commands)
            results[j].append(commands[j]())
    return [statistics.median(r) for r in results]


def fake_runtime(tmp, fake_jli):
    """A runtime home in tmp whose launcher library is the test library that returns at once."""
    runtime = os.path.join(tmp, "runtime")
    os.makedirs(os.path.join(runtime, "lib"))
    os.makedirs(os.path.join(runtime, "bin"))
    os.symlink(fake_jli, os.path.join(runtime, "lib", "libjli.so"))
    open(os.path.join(runtime, "bin", "java"), "w").close()
    with open(os.path.join(runtime, "release"), "w") as f:
        f.write('JAVA_VERSION="17.0.9"\n')
    return runtime
