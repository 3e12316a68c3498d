"""Signals end an idle watch quickly, and a waiting watch leaves other threads running."""

import os
import random
import signal
import statistics
import subprocess
import sys
import textwrap
import time

import pytest

import workloads
from helpers import run_python

# The loop checks for signals at least every 100 ms: a signal that comes just after a check
# waits the whole slice. This leaves 50 ms for the wake-up on a loaded machine.
SLICE = 0.1
# A signal is taken at the end of the wait slice it came in: typically within one slice,
# and even on a starved machine within a few (a watch that never looked would hang).
SIGNAL_LATENCY_LIMIT = SLICE + 0.05
SIGNAL_LATENCY_WORST = 3 * SLICE


def start_python(code):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


# Watches ROOT again after each KeyboardInterrupt, reporting when it was caught and whether
# the watch was torn down (no inotify descriptor, no watcher thread left).
IDLE_WATCH = """
    import os, sys, time
    import vestra
    sys.path.insert(0, TESTS)
    from workloads import inotify_instances, watcher_threads

    for _ in range(ROUNDS):
        print("ready", flush=True)
        try:
            vestra.rswatcher(ROOT, print)
        except KeyboardInterrupt:
            caught = time.monotonic()
            print(
                f"interrupted {caught!r} {len(inotify_instances())} {watcher_threads(settle=1.0)}",
                flush=True,
            )
"""

ROUNDS = 10


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_ctrl_c_interrupts_an_idle_watch_promptly(root):
    code = IDLE_WATCH.replace("ROOT", repr(root)).replace("ROUNDS", str(ROUNDS))
    code = code.replace("TESTS", repr(workloads.HERE))
    child = start_python(code)
    latencies = []
    # Each round sends at another point of the slice (past a few whole slices, to let the
    # watch start and go idle), spread over all of it.
    phases = [(number + random.random()) / ROUNDS * SLICE for number in range(ROUNDS)]
    random.shuffle(phases)
    try:
        for phase in phases:
            assert child.stdout.readline() == "ready\n"
            time.sleep(3.2 * SLICE + phase)
            sent = time.monotonic()  # CLOCK_MONOTONIC is shared by every process
            child.send_signal(signal.SIGINT)
            word, caught, inotify, threads = child.stdout.readline().split(" ", 3)
            assert word == "interrupted"
            assert (inotify, threads) == ("0", "[]\n"), "the watch was not torn down"
            latencies.append(float(caught) - sent)
        _, stderr = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait(10)
    assert child.returncode == 0, stderr
    assert all(latency >= 0 for latency in latencies), latencies
    assert statistics.median(latencies) < SIGNAL_LATENCY_LIMIT, f"after {latencies} s"
    assert max(latencies) < SIGNAL_LATENCY_WORST, f"after {latencies} s"


def test_signal_handler_exception_propagates_unchanged(root):
    result = run_python(
        f"""
        import signal
        import vestra

        class Alarm(Exception):
            pass

        raised = Alarm("from the handler")

        def handler(signum, frame):
            raise raised

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            vestra.rswatcher({root!r}, print)
        except Alarm as error:
            print("same" if error is raised else "different", flush=True)
        """,
        timeout=20,
    )
    assert result.stdout == "same\n", result.stderr


def test_watch_in_a_thread_lets_the_main_thread_run_and_take_signals(root):
    # rswatcher waits detached from the interpreter, so the main thread keeps running Python
    # code while a background thread sits in the watch, and the main thread, not the watch,
    # gets KeyboardInterrupt; the watch ends when its callback raises. Run apart: a watch
    # that held the interpreter while waiting would freeze the whole process.
    result = run_python(
        f"""
        import os, signal, threading, time
        import vestra

        class Stop(Exception):
            pass

        def callback(event):
            raise Stop

        outcome = []
        def watch():
            try:
                vestra.rswatcher({root!r}, callback)
            except BaseException as error:
                outcome.append(type(error).__name__)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        time.sleep(0.3)
        deadline = time.monotonic() + 0.5
        count = 0
        while time.monotonic() < deadline:
            count += 1
        interrupted = False
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.5)
        except KeyboardInterrupt:
            interrupted = True
        alive = watcher.is_alive()
        open(os.path.join({root!r}, "wake"), "w").close()
        watcher.join(10)
        print(count, interrupted, alive, outcome, watcher.is_alive(), flush=True)
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    count, rest = result.stdout.split(" ", 1)
    assert int(count) > 100_000, f"the main thread made only {count} steps in 0.5 s"
    assert rest == "True True ['Stop'] False\n"
