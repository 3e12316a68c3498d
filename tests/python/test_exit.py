"""A watch never takes its process down: every way out of a program that watches in a thread
ends with the status the program chose and nothing written by vestra, and fork works."""

import os
import signal
import subprocess
import sys
from collections import Counter

import pytest

from helpers import linux_only

pytestmark = linux_only

# One program for every case: CASE picks how it ends. The watch runs in a thread; `live`
# is set by the first event, so every case starts from a watch that delivers.
PROGRAM = r"""
import os, signal, sys, threading, time
import vestra

case, root = sys.argv[1], sys.argv[2]
live, leave = threading.Event(), threading.Event()
parent, forked = os.getpid(), []

def callback(event):
    live.set()
    if case == "fork in callback" and not forked:
        pid = os.fork()
        if pid == 0:
            return  # the child goes back into the watch, which refuses to go on
        forked.append(os.waitpid(pid, 0)[1])
    if case == "callback":
        while True:  # Python code, holding the interpreter lock in turns
            sum(range(1000))
    if case == "raising" and leave.is_set():
        raise RuntimeError("the program is leaving")

def watch(path=root, daemon=True):
    def run():
        try:
            vestra.rswatcher(path, callback)
        except RuntimeError as error:
            if os.getpid() != parent:
                os._exit(7 if "forked by its callback" in str(error) else 94)
    thread = threading.Thread(target=run, daemon=daemon)
    thread.start()
    return thread

def touch_until(event, directory=root):
    for number in range(500):
        if event.wait(0.02):
            return
        open(os.path.join(directory, f"probe-{number % 20}"), "w").close()
    sys.exit(90)  # never live: not the status a passing case expects

def churn():
    number = 0
    while True:
        open(os.path.join(root, f"churn-{number % 50}"), "w").close()
        number += 1

def watch_and_see(directory):
    # A fresh watch in this process: its own loop thread and descriptor, and events.
    global live
    live = threading.Event()
    os.makedirs(directory, exist_ok=True)
    watch(directory)
    touch_until(live, directory)

if case == "setup":
    watch()
    time.sleep(0.01 * (os.getpid() % 5))  # somewhere inside the walk of the tree
    sys.exit(7)
if case == "sys.exit":
    # A non-daemon watch keeps the interpreter waiting: end it first (callback raises).
    thread = watch(daemon=False)
    touch_until(live)
    case = "raising"
    leave.set()
    open(os.path.join(root, "leave"), "w").close()
    sys.exit(7)
if case == "fork":
    watch()
    touch_until(live)
    threading.Thread(target=churn, daemon=True).start()
    for round in range(5):
        pid = os.fork()
        if pid == 0:
            watch_and_see(os.path.join(root, f"child-{round}"))
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        if status != 0:
            sys.exit(91)
    live.clear()
    touch_until(live)  # the first watch still delivers
    sys.exit(7)
if case == "multiprocessing":
    import multiprocessing
    watch()
    touch_until(live)
    child = multiprocessing.get_context("fork").Process(
        target=watch_and_see, args=(os.path.join(root, "child"),))
    child.start()
    child.join(30)
    live.clear()
    touch_until(live)
    sys.exit(7 if child.exitcode == 0 else 92)

watch()
touch_until(live)
if case == "busy":
    threading.Thread(target=churn, daemon=True).start()
    time.sleep(0.05)
if case == "fork in callback":
    for _ in range(500):
        if forked:
            sys.exit(7 if forked == [7 << 8] else 95)
        time.sleep(0.02)
if case == "raising":
    leave.set()
    open(os.path.join(root, "leave"), "w").close()
if case == "os._exit":
    os._exit(7)
if case in ("SIGTERM", "SIGINT"):
    try:
        print("ready", flush=True)
        time.sleep(30)
    except KeyboardInterrupt:
        sys.exit(7)
    sys.exit(93)
sys.exit(7)
"""

CHILD_TIMEOUT = 30


# Under LeakSanitizer, what a daemon thread held when the interpreter ended it is never
# freed, by the interpreter's design: the children do not check for leaks.
CHILD_ENV = dict(os.environ)
if "libasan" in CHILD_ENV.get("LD_PRELOAD", ""):
    CHILD_ENV["ASAN_OPTIONS"] = CHILD_ENV.get("ASAN_OPTIONS", "") + ":detect_leaks=0"


def start(case, directory):
    return subprocess.Popen(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", PROGRAM, case, directory],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=CHILD_ENV,
    )


def outcome(child):
    try:
        _, err = child.communicate(timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return "hang", ""
    return child.returncode, err


def run_all(case, directory, times, at_once=4, shared=False):
    """Runs `times` children of `case`, `at_once` at a time, each in a directory of its own
    under `directory` unless `shared`; their (status, stderr)."""
    results, running = [], []
    for number in range(times):
        own = directory if shared else os.path.join(directory, str(number))
        os.makedirs(own, exist_ok=True)
        running.append(start(case, own))
        if len(running) == at_once:
            results.append(outcome(running.pop(0)))
    results.extend(outcome(child) for child in running)
    return results


@pytest.fixture(scope="module")
def big_tree(tmp_path_factory):
    """A tree whose set-up takes a while: 40 x 40 directories."""
    root = tmp_path_factory.mktemp("big")
    for outer in range(40):
        for inner in range(40):
            os.makedirs(root / f"d{outer}" / f"d{inner}")
    return str(root)


@pytest.mark.parametrize(
    "case, times",
    [
        ("waiting", 20),
        ("busy", 20),
        ("callback", 20),
        ("setup", 10),
        ("raising", 10),
        ("sys.exit", 1),
        ("os._exit", 1),
        ("fork", 1),
        ("multiprocessing", 1),
        ("fork in callback", 1),
    ],
)
def test_program_ends_with_its_own_status(case, times, tmp_path, big_tree):
    if case == "setup":
        results = run_all(case, big_tree, times, shared=True)
    else:
        results = run_all(case, str(tmp_path), times)
    # Counted, so that a failure shows every distinct outcome at once.
    assert Counter(results) == {(7, ""): times}


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, -signal.SIGTERM), (signal.SIGINT, 7)])
def test_signal_to_a_program_watching_in_a_thread(signum, status, tmp_path):
    child = start(signal.Signals(signum).name, str(tmp_path))
    assert child.stdout.readline() == "ready\n"
    child.send_signal(signum)
    assert outcome(child) == (status, "")
