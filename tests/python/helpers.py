"""Helpers shared by the tests: bounded watches, subprocess runs and leak probes."""

import contextlib
import difflib
import json
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vestra
from workloads import inotify_instances, watcher_threads  # noqa: F401 - shared with tests

PROBE_DIR = ".probe"


def unwrap_message(shown):
    """The text of the failure to watch a missing path, `shown` as the error writes it."""
    return (
        "called `Result::unwrap()` on an `Err` value: "
        f"Error {{ kind: PathNotFound, paths: [{shown}] }}"
    )


def write(path, data=b"x", mode="wb"):
    with open(path, mode) as handle:
        handle.write(data)


def inotify_descriptors():
    """How many of this process's descriptors are inotify instances."""
    return len(inotify_instances())


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


def watch_events(root, action, timeout=10.0):
    """Watches `root` on this thread. Once an event shows that the watch is live, runs
    `action()` on another thread, then makes a marker; returns every event that came after
    the watch was live and before the marker (probes left out). Fails, showing what it saw,
    when that takes longer than `timeout` seconds."""
    probes = os.path.join(root, PROBE_DIR)
    os.makedirs(probes, exist_ok=True)
    marker = os.path.join(probes, "done")
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
                with open(marker, "w"):
                    pass
            except BaseException as error:  # noqa: B902 - handed to the test thread
                failures.append(error)

    def callback(event):
        if event == {"kind": "Create(File)", "paths": [marker]}:
            raise StopWatching
        if is_probe(event):
            live.set()
        elif live.is_set():
            seen.append(event)

    driver = threading.Thread(target=drive, daemon=True)
    driver.start()
    try:
        with time_limit(timeout):
            vestra.rswatcher(root, callback)
    except StopWatching:
        pass
    except WatchTimedOut:
        pytest.fail(f"the marker did not arrive within {timeout} s; saw {seen!r}")
    finally:
        finished.set()
        driver.join(5)
    if failures:
        raise failures[0]
    return seen


def assert_events(events, expected):
    """Fails, with a diff, unless `events` are exactly the (kind, paths) pairs `expected`,
    in that order: an extra, missing, doubled or wrongly kinded event fails."""
    got = [(event["kind"], event["paths"]) for event in events]
    if got != expected:
        diff = difflib.unified_diff(
            [f"{kind} {paths}" for kind, paths in expected],
            [f"{kind} {paths}" for kind, paths in got],
            "expected",
            "seen",
            lineterm="",
        )
        pytest.fail("the events differ:\n" + "\n".join(diff), pytrace=False)


def contains_in_order(events, expected):
    """True when `expected` ((kind, paths) pairs) occurs in `events` as a subsequence."""
    position = 0
    for event in events:
        if position < len(expected) and (event["kind"], event["paths"]) == expected[position]:
            position += 1
    return position == len(expected)


# For children whose leaks go unchecked under LeakSanitizer: once not root, a child cannot
# read the interpreter's symbols (under /root) to match the suppressions, and what a daemon
# thread held when the interpreter ended it is never freed, by the interpreter's design.
UNCHECKED_ENV = dict(os.environ)
if "libasan" in UNCHECKED_ENV.get("LD_PRELOAD", ""):
    UNCHECKED_ENV["ASAN_OPTIONS"] = UNCHECKED_ENV.get("ASAN_OPTIONS", "") + ":detect_leaks=0"


# For programs that are not vestra's (mount tools and the like): the sanitizer runtime that
# the sanitizer run preloads is for vestra's module, and would fail them on their own leaks.
TOOL_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def run_python(code, timeout=30, **kwargs):
    """Runs `code` in a fresh interpreter (this one's), with a hard time limit."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


# ---------------------------------------------------------------------------------------
# A watch in a child process, driven from the test: a crash or a hang of vestra ends the
# child and fails the test instead of taking pytest down.

from workloads import HERE, Child, stop_process  # noqa: E402 - kept beside the code that uses it

# The child watches PATH and prints every event as one JSON line; it ends on SIGINT (or any
# other exception) and then prints how it ended and what it left behind. WATCH is how it
# watches: through rswatcher, or through vestra.watch with each event given as the same
# dict (its kind text, and its paths: old and new for a rename or an exchange).
WATCH_CALLS = {
    "rswatcher": "vestra.rswatcher(path, callback)",
    "watch": (
        "import vestra.watch\n"
        "with vestra.watch.Watch(path, debounce=0, default_ignore=False) as watch:\n"
        "    for batch in watch:\n"
        "        for event in batch:\n"
        "            callback(dict(kind=event.text, paths=list(event.paths)))\n"
    ),
}
WATCH_CHILD = """
import json, os, sys
import vestra
sys.path.insert(0, {here!r})
from workloads import inotify_instances, watcher_threads

path = {path!r}
drop_to = {drop_to!r}
if drop_to is not None:
    # vestra is loaded; from here on, no privilege is left.
    os.setgroups([])
    os.setgid(drop_to)
    os.setuid(drop_to)

def emit(**values):
    # One write with its newline: a Ctrl-C between two writes would leave a line unended.
    sys.stdout.write(json.dumps(values) + "\\n")
    sys.stdout.flush()

def callback(event):
    # Whether the path exists as the event arrives: what a consumer can ask the disk.
    emit(event=event, there=[os.path.lexists(path) for path in event["paths"]])

def left_behind():
    return len(inotify_instances()), watcher_threads(settle=1.0)

def watch():
{watch}

emit(started=os.getuid())
try:
    watch()
    ended, message = "returned", ""
except BaseException as error:
    ended, message = type(error).__name__, str(error)
# A joined thread can still be listed for a moment after the join returns: allow it 1 s.
import time
deadline = time.monotonic() + 1
inotify, threads = left_behind()
while threads and time.monotonic() < deadline:
    time.sleep(0.01)
    inotify, threads = left_behind()
emit(ended=ended, message=message, inotify=inotify, watcher_threads=threads)
"""


def shorten(events, keep=40):
    """The events for a failure message: all of a few, else the count of each kind and
    the first and last ones."""
    if len(events) <= keep:
        return repr(events)
    kinds = {}
    for event in events:
        kinds[event["kind"]] = kinds.get(event["kind"], 0) + 1
    half = keep // 2
    return (
        f"{len(events)} events {kinds!r}; first {events[:half]!r} ... "
        f"last {events[-half:]!r}"
    )


class WatchingChild:
    """`rswatcher(path, ...)` in a child interpreter. Its events come back as dicts; every
    wait is bounded and shows what was seen when it fails."""

    def __init__(self, path, drop_to=None, api="rswatcher", extra_env=None):
        watch = textwrap.indent(WATCH_CALLS[api], "    ")
        code = WATCH_CHILD.format(path=path, drop_to=drop_to, here=HERE, watch=watch)
        env = {**os.environ, **extra_env} if extra_env else None
        if drop_to is not None and "ASAN_OPTIONS" in os.environ:
            # Once it is not root, the child cannot read the interpreter's symbols (under
            # /root) to match its leak suppressions: its leaks go unchecked.
            env = {
                **(env or os.environ),
                "ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0",
            }
        self.child = Child(None, argv=[sys.executable, "-c", code], env=env)
        self.events = []
        self.there = []  # per event, whether each path existed when it arrived
        self.ending = None
        self.started = None  # the child's uid once it runs
        while self.started is None:
            self._next(30)

    def _next(self, timeout):
        """Takes the next record, waiting up to `timeout`, and then every record already
        there (checks run once per batch, not once per event)."""
        line = self.child.line(timeout)
        while True:
            if line is None:
                pytest.fail(
                    f"the watching child died; events {shorten(self.events)}; "
                    f"{self.child.describe()}"
                )
            record = json.loads(line)
            if "event" in record:
                self.events.append(record["event"])
                self.there.append(record["there"])
            elif "started" in record:
                self.started = record["started"]
            elif "ended" in record:
                self.ending = record
                return
            try:
                line = self.child.lines.get_nowait()
            except queue.Empty:
                return

    def wait_until(self, done, timeout=10.0, what="expected events"):
        """Reads events until `done(self.events)` holds."""
        deadline = time.monotonic() + timeout
        while not done(self.events):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.ending is not None:
                pytest.fail(
                    f"{what} did not arrive within {timeout} s; ending {self.ending!r}; "
                    f"saw {shorten(self.events)}"
                )
            try:
                self._next(remaining)
            except TimeoutError:
                pass
        return self.events

    def expect(self, expected, timeout=10.0):
        """Waits for (kind, path) pairs to arrive in this order (others may come between)."""
        return self.wait_until(
            lambda events: contains_in_order(events, [(k, [p]) for k, p in expected]),
            timeout,
            what=f"{expected!r}",
        )

    def poll(self, seconds, done):
        """Reads events for up to `seconds`; True as soon as `done` holds for the (kind,
        path) pairs seen, False if it does not by then."""
        deadline = time.monotonic() + seconds
        while True:
            pairs = [(e["kind"], e["paths"][0]) for e in self.events if e["paths"]]
            if done(pairs):
                return True
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.ending is not None:
                return False
            with contextlib.suppress(TimeoutError):
                self._next(remaining)

    def wait_live(self, probe_dir, timeout=10.0):
        """Creates files in `probe_dir` until one of them is reported: the watch is live."""
        os.makedirs(probe_dir, exist_ok=True)
        prefix = os.path.join(probe_dir, "")
        deadline = time.monotonic() + timeout
        number = 0
        while not any(e["paths"][0].startswith(prefix) for e in self.events if e["paths"]):
            if time.monotonic() > deadline or self.ending is not None:
                pytest.fail(
                    f"no event from {probe_dir} within {timeout} s; ending {self.ending!r}; "
                    f"saw {shorten(self.events)}"
                )
            with open(os.path.join(probe_dir, f"live-{number}"), "w"):
                pass
            number += 1
            with contextlib.suppress(TimeoutError):
                self._next(0.05)

    def sync(self, marker, timeout=10.0):
        """Creates `marker` and waits for its creation: every event of the changes made
        before it has been delivered by then."""
        with open(marker, "w"):
            pass
        self.expect([("Create(File)", marker)], timeout)

    @contextlib.contextmanager
    def frozen(self):
        """Stops the whole child meanwhile: the changes made in this block reach the watcher
        as one late batch, after they are all done."""
        stop_process(self.child.process.pid)
        try:
            yield
        finally:
            os.kill(self.child.process.pid, signal.SIGCONT)

    def finish(self, timeout=10.0, interrupt=True):
        """Ends the watch with Ctrl-C (or, without `interrupt`, waits for it to end by
        itself); returns how it ended."""
        if interrupt and self.ending is None and self.child.running():
            self.child.process.send_signal(signal.SIGINT)
        deadline = time.monotonic() + timeout
        while self.ending is None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.child.finish(0)
                pytest.fail(f"the watch did not end within {timeout} s; {self.child.describe()}")
            with contextlib.suppress(TimeoutError):
                self._next(remaining)
        self.child.finish(10)
        assert self.child.process.returncode == 0, self.child.describe()
        return self.ending

    def close(self):
        if self.child.running():
            self.child.process.kill()
            self.child.process.wait(10)


@contextlib.contextmanager
def watching_child(path, drop_to=None):
    watcher = WatchingChild(path, drop_to)
    try:
        yield watcher
    finally:
        watcher.close()


def events_under(events, prefix):
    return [e for e in events if any(p == prefix or p.startswith(prefix + "/") for p in e["paths"])]


class SilentGap(AssertionError):
    """A change was neither reported nor covered by an Other event: the one failure that the
    tests of known gaps expect (any other failure, a crash or a hang, still fails them)."""
