"""Helpers shared by the tests: bounded watches, subprocess runs and leak probes."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import vestra

# The watcher's thread, as Linux shows its (cut) name.
WATCHER_THREAD_PREFIX = "murmelant"

PROBE_DIR = ".probe"


def inotify_descriptors():
    """How many of this process's descriptors are inotify instances."""
    count = 0
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/self/fd/{name}") == "anon_inode:inotify":
                count += 1
    return count


def watcher_threads():
    """Names of this process's threads that belong to a watcher."""
    names = []
    for task in os.listdir("/proc/self/task"):
        with contextlib.suppress(OSError):
            with open(f"/proc/self/task/{task}/comm") as comm:
                name = comm.read().strip()
            if name.startswith(WATCHER_THREAD_PREFIX):
                names.append(name)
    return names


linux_only = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="reads /proc and counts inotify descriptors"
)


class WatchTimedOut(Exception):
    """Raised by the interval timer inside rswatcher's signal check."""


@contextlib.contextmanager
def time_limit(seconds):
    """Raises WatchTimedOut on this (the main) thread once `seconds` have passed."""

    def expire(signum, frame):
        raise WatchTimedOut(f"no result within {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class StopWatching(Exception):
    """Raised by a test's callback to end rswatcher."""


def is_probe(event):
    return any(f"/{PROBE_DIR}/" in path for path in event["paths"])


def watch_events(root, action, until, timeout=10.0):
    """Watches `root` on this thread. Once an event shows that the watch is live, runs
    `action()` on another thread, and returns the events seen after that (probes left out)
    as soon as `until(events)` holds. Fails, showing what it saw, when that takes longer
    than `timeout` seconds."""
    probes = os.path.join(root, PROBE_DIR)
    os.makedirs(probes, exist_ok=True)
    live = threading.Event()
    finished = threading.Event()
    seen = []
    failures = []

    def drive():
        number = 0
        while not live.is_set() and not finished.is_set():
            with open(os.path.join(probes, f"probe-{number}"), "w"):
                pass
            number += 1
            live.wait(0.05)
        if live.is_set() and not finished.is_set():
            try:
                action()
            except BaseException as error:  # noqa: B902 - handed to the test thread
                failures.append(error)

    def callback(event):
        if is_probe(event):
            live.set()
            return
        if live.is_set():
            seen.append(event)
            if until(seen):
                raise StopWatching

    driver = threading.Thread(target=drive, daemon=True)
    driver.start()
    try:
        with time_limit(timeout):
            vestra.rswatcher(root, callback)
    except StopWatching:
        pass
    except WatchTimedOut:
        pytest.fail(f"expected events did not arrive within {timeout} s; saw {seen!r}")
    finally:
        finished.set()
        driver.join(5)
    if failures:
        raise failures[0]
    return seen


def contains_in_order(events, expected):
    """True when `expected` ((kind, paths) pairs) occurs in `events` as a subsequence."""
    position = 0
    for event in events:
        if position < len(expected) and (event["kind"], event["paths"]) == expected[position]:
            position += 1
    return position == len(expected)


def run_python(code, timeout=30, **kwargs):
    """Runs `code` in a fresh interpreter (this one's), with a hard time limit."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )
