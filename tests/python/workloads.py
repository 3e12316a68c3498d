"""Heavy workloads shared by the stress tests and measure_reliability.py.

Every watch runs in a child interpreter (`python workloads.py ROLE ARGS...`) with a hard time
limit of its own and one under the parent's control, so a crash or a hang of vestra ends that
child, not the caller. The parent side (the run_* functions) drives the file system and
returns plain dicts of numbers."""

import contextlib
import gc
import json
import os
import queue
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE_DIR = ".probe"
# No child watches for longer than this; the parent's waits are shorter still.
CHILD_LIMIT = 90


# ---------------------------------------------------------------------------------------
# Shared bits


def scratch_base():
    """Where heavy trees go: memory-backed /dev/shm when it is there, else the temp dir."""
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK):
        return "/dev/shm"
    return tempfile.gettempdir()


@contextlib.contextmanager
def scratch_dir(prefix):
    """A fresh directory by its canonical path, removed afterwards."""
    path = os.path.realpath(tempfile.mkdtemp(prefix=prefix, dir=scratch_base()))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def max_queued_events():
    with open("/proc/sys/fs/inotify/max_queued_events") as limit:
        return int(limit.read())


def touch(path):
    os.close(os.open(path, os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, 0o644))


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def thread_count():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ancestor_watches(path):
    """Watches that a watched path needs above it: every directory up to, not with, "/"."""
    return os.path.realpath(path).count("/") - 1


def inotify_instances(pid="self"):
    """The watch lines ("inotify wd:...") of each inotify instance of a process, a list an
    instance, as the kernel lists them."""
    instances = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{pid}/fd/{name}") == "anon_inode:inotify":
                with open(f"/proc/{pid}/fdinfo/{name}") as info:
                    instances.append([line for line in info if line.startswith("inotify wd:")])
    return instances


def inotify_watch_count(pid="self"):
    """Watches held by the inotify instances of a process."""
    return sum(map(len, inotify_instances(pid)))


def inotify_watched_inodes(pid="self"):
    """The inode numbers that the inotify instances of a process watch."""
    return {
        int(dict(field.split(":", 1) for field in line.split()[1:])["ino"], 16)
        for lines in inotify_instances(pid)
        for line in lines
    }


# The watcher's thread, as Linux shows its (cut) name.
WATCHER_THREAD_PREFIX = "murmelant"


def watcher_threads(settle=0.0):
    """Names of this process's threads that belong to a watcher. With `settle`, waits up to
    that many seconds for them to go: a joined thread is still listed in /proc for a moment
    after pthread_join returns, until the kernel has finished its exit."""
    deadline = time.monotonic() + settle
    while True:
        names = []
        for task in os.listdir("/proc/self/task"):
            with contextlib.suppress(OSError), open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        left = [name for name in names if name.startswith(WATCHER_THREAD_PREFIX)]
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.005)


def all_stopped(pid):
    """True once every thread of process `pid` is stopped by a signal."""
    for task in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/task/{task}/stat") as stat:
            if stat.read().rsplit(")", 1)[1].split()[0] not in ("T", "t"):
                return False
    return True


def stop_process(pid, timeout=10):
    """SIGSTOP, and back once the whole process has really stopped: a signal is delivered
    to a running thread only at its next return from the kernel."""
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + timeout
    while not all_stopped(pid):
        if time.monotonic() > deadline:
            raise TimeoutError(f"process {pid} did not stop within {timeout} s")
        time.sleep(0.001)


class Child:
    """A child interpreter, by default running one role of this file; its stdout lines are
    read on a thread so that every wait for one has a bound."""

    def __init__(self, role, *args, argv=None, env=None):
        if argv is None:
            argv = [sys.executable, os.path.join(HERE, "workloads.py"), role, *map(str, args)]
        self.process = subprocess.Popen(
            argv,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.lines = queue.Queue()
        self.stderr = []
        threading.Thread(target=self._pump, args=(self.process.stdout, self.lines), daemon=True).start()
        threading.Thread(target=self._drain, daemon=True).start()

    @staticmethod
    def _pump(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def _drain(self):
        for line in self.process.stderr:
            self.stderr.append(line)

    def line(self, timeout):
        """The next line, or None at end of output; raises TimeoutError past `timeout`."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"no line from the child within {timeout} s; {self.describe()}")

    def expect(self, prefix, timeout):
        line = self.line(timeout)
        if line is None or not line.startswith(prefix):
            self.finish(5)
            raise AssertionError(f"expected {prefix!r} from the child, got {line!r}; {self.describe()}")
        return line[len(prefix):].strip()

    def result(self, timeout):
        """The child's closing JSON line, once it has exited."""
        deadline = time.monotonic() + timeout
        last = None
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.finish(0)
                raise TimeoutError(f"the child did not finish within {timeout} s; {self.describe()}")
            line = self.line(remaining)
            if line is None:
                break
            last = line
        self.finish(10)
        if self.process.returncode != 0 or not last or not last.startswith("{"):
            raise AssertionError(f"the child failed; last line {last!r}; {self.describe()}")
        return json.loads(last)

    def finish(self, grace):
        try:
            self.process.wait(grace)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)

    def running(self):
        return self.process.poll() is None

    def describe(self):
        time.sleep(0.1)  # let the stderr reader catch up
        tail = "".join(self.stderr)[-3000:]
        return f"exit status {self.process.poll()}, stderr: {tail!r}"


def until_child_exits(child, action, interval, timeout):
    """Runs `action(number)` every `interval` s until the child has exited or `timeout` s."""
    deadline = time.monotonic() + timeout
    number = 0
    while child.running() and time.monotonic() < deadline:
        action(number)
        number += 1
        time.sleep(interval)


def until_line(child, prefix, action, interval, timeout):
    """Runs `action(number)` every `interval` s until the child prints a line starting with
    `prefix`; returns the rest of that line."""
    deadline = time.monotonic() + timeout
    number = 0
    while True:
        action(number)
        number += 1
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError(f"no {prefix!r} from the child within {timeout} s; {child.describe()}")
        try:
            line = child.line(min(interval, remaining))
        except TimeoutError:
            continue
        if line is None:
            raise AssertionError(f"the child ended before {prefix!r}; {child.describe()}")
        if line.startswith(prefix):
            return line[len(prefix):].strip()


class Done(Exception):
    """Raised by a child's callback to end its watch."""


class OutOfTime(Exception):
    """Raised by a child's alarm: the watch took longer than its bound."""


def arm_alarm(seconds):
    def expire(signum, frame):
        raise OutOfTime(f"no end within {seconds} s")

    signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)


def emit(**values):
    print(json.dumps(values), flush=True)


def watch_until_done(root, callback, before=None):
    """Watches `root` until `callback` raises Done or the child's time bound passes (after
    running `before`, once the alarm is set); returns "done" or "timed out"."""
    import vestra

    arm_alarm(CHILD_LIMIT)
    outcome = "done"
    if before is not None:
        before()
    try:
        vestra.rswatcher(root, callback)
    except Done:
        pass
    except OutOfTime:
        outcome = "timed out"
    signal.setitimer(signal.ITIMER_REAL, 0)
    return outcome


# ---------------------------------------------------------------------------------------
# 1. Many watches in one process: nothing may be left behind.


def child_leak(root, calls, sample_at):
    import vestra

    target = os.path.join(root, "ping")
    stop = threading.Event()
    quiet = threading.Lock()  # held while counting: the pinger's descriptor is not counted

    def ping():
        # One name created and removed again and again: every watch soon sees an event.
        while not stop.is_set():
            with quiet:
                touch(target)
                os.unlink(target)
            stop.wait(0.001)

    pinger = threading.Thread(target=ping, daemon=True)
    pinger.start()

    def callback(event):
        raise Done

    arm_alarm(CHILD_LIMIT)
    gc.collect()
    with quiet:
        fds_before, threads_before = open_descriptors(), thread_count()
        rss_before = resident_bytes()
    rss_at_sample = None
    started = time.monotonic()
    for number in range(1, calls + 1):
        try:
            vestra.rswatcher(root, callback)
        except Done:
            pass
        if number == sample_at:
            gc.collect()
            rss_at_sample = resident_bytes()
    elapsed = time.monotonic() - started
    gc.collect()
    # A joined thread can still be listed for a moment after the join returns.
    settle = time.monotonic() + 1
    while thread_count() > threads_before and time.monotonic() < settle:
        time.sleep(0.01)
    with quiet:
        fds_after, threads_after = open_descriptors(), thread_count()
        rss_after = resident_bytes()
    watcher_threads_left = watcher_threads(settle=1.0)
    stop.set()
    pinger.join(5)
    signal.setitimer(signal.ITIMER_REAL, 0)
    emit(
        calls=calls,
        sample_at=sample_at,
        elapsed=elapsed,
        fds_before=fds_before,
        fds_after=fds_after,
        threads_before=threads_before,
        threads_after=threads_after,
        watcher_threads_left=watcher_threads_left,
        rss_before=rss_before,
        rss_at_sample=rss_at_sample,
        rss_after=rss_after,
    )


def run_leak(calls=1000, sample_at=100, timeout=100):
    with scratch_dir("vestra-leak-") as root:
        child = Child("leak", root, calls, sample_at)
        return child.result(timeout)


# ---------------------------------------------------------------------------------------
# 2. A burst of creations: every one is reported, or the overflow is.

BURST_SUBDIRS = 20


def child_burst(root, files):
    files = int(files)
    burst = os.path.join(root, "burst") + "/"
    probes = os.path.join(root, PROBE_DIR) + "/"
    markers = os.path.join(root, "end-")
    created = set()
    # Files are made in the order of their numbers: so must their creations arrive, the
    # only gaps being the ones an Other event stands for.
    state = {"creates": 0, "live": False, "events": 0, "next": 0, "probes_before_other": 0}
    state["other_since_create"] = False
    gaps = []  # (number expected, number reported or None at the end, an Other came between)
    others = []  # (creations seen so far, path)
    unexpected = []

    def callback(event):
        state["events"] += 1
        kind, paths = event["kind"], event["paths"]
        path = paths[0] if len(paths) == 1 else repr(paths)
        if kind == "Create(File)" and path.startswith(burst):
            state["creates"] += 1
            created.add(path)
            number = int(path.rsplit("/f", 1)[1])
            if number != state["next"] and len(gaps) < 10:
                gaps.append((state["next"], number, state["other_since_create"]))
            state["next"] = number + 1
            state["other_since_create"] = False
        elif kind == "Other":
            others.append((len(created), path))
            state["other_since_create"] = True
        elif path.startswith(probes):
            if not state["live"]:
                state["live"] = True
                print("live", flush=True)
            elif not others:
                state["probes_before_other"] += 1
        elif path.startswith(markers):
            if kind == "Create(File)":
                if state["next"] != files:
                    gaps.append((state["next"], None, state["other_since_create"]))
                raise Done
        elif len(unexpected) < 20:
            unexpected.append(event)

    outcome = watch_until_done(root, callback)
    emit(
        outcome=outcome,
        unique_created=len(created),
        create_events=state["creates"],
        events=state["events"],
        gaps=gaps,
        probes_before_other=state["probes_before_other"],
        others=others[:50],
        other_count=len(others),
        unexpected=unexpected,
    )


def run_burst(files=200_000, stop_reader=False, timeout=100):
    """Creates `files` files in a watched tree and reports what the callback got.

    With `stop_reader`, the watching process is stopped (SIGSTOP) for the whole burst, so
    nothing drains the kernel queue: it must overflow, whatever the limits."""
    with scratch_dir("vestra-burst-") as root:
        burst = os.path.join(root, "burst")
        subdirs = [os.path.join(burst, f"d{number:02}") for number in range(BURST_SUBDIRS)]
        for subdir in subdirs:
            os.makedirs(subdir)
        probes = os.path.join(root, PROBE_DIR)
        os.mkdir(probes)
        child = Child("burst", root, files)
        try:
            until_line(child, "live", lambda n: touch(os.path.join(probes, f"p{n}")), 0.05, 60)
            if stop_reader:
                stop_process(child.process.pid)
            started = time.monotonic()
            for number in range(files):
                touch(f"{subdirs[number % BURST_SUBDIRS]}/f{number}")
            creation_seconds = time.monotonic() - started
            if stop_reader:
                os.kill(child.process.pid, signal.SIGCONT)
            # Markers until one gets through: one made while the queue is full is dropped.
            until_child_exits(child, lambda n: touch(os.path.join(root, f"end-{n}")), 0.1, 60)
            result = child.result(timeout)
        finally:
            if child.running():
                child.process.kill()
                child.process.wait(10)
        result.update(
            root=root,
            files=files,
            stop_reader=stop_reader,
            creation_seconds=creation_seconds,
            delivery_seconds=time.monotonic() - started,
            max_queued_events=max_queued_events(),
        )
        return result


# ---------------------------------------------------------------------------------------
# 3. Churn while the watch sets up: afterwards, every directory is watched.

CHECK_NAME = "check-file"
CHECK_STEP = 2000


def build_tree(root, tops=100, mids=10, leaves=19):
    """tops + tops*mids + tops*mids*leaves directories (20,100 by default)."""
    made = 0
    for top in range(tops):
        for mid in range(mids):
            base = os.path.join(root, f"t{top:03}", f"m{mid:02}")
            os.makedirs(base)
            made += 1 + (mid == 0)
            for leaf in range(leaves):
                os.mkdir(os.path.join(base, f"l{leaf:02}"))
                made += 1
    return made


def child_churn(root, stop_file, seed, log_path=None):
    """Creates, renames and deletes directories inside `root` until `stop_file` exists.
    With `log_path`, every operation that succeeded is written there with its time."""
    rng = random.Random(int(seed))
    log = open(log_path, "w") if log_path else None
    known = [dirpath for dirpath, _, _ in os.walk(root)][1:]
    mine = []
    counts = {"mkdir": 0, "makedirs": 0, "rename": 0, "rmdir": 0, "failed": 0}

    def done(operation, *paths):
        counts[operation] += 1
        if log:
            log.write(f"{time.monotonic()!r} {operation} {' '.join(paths)}\n")

    print("started", flush=True)
    number = 0
    deadline = time.monotonic() + CHILD_LIMIT
    while time.monotonic() < deadline:
        if number % 64 == 0 and os.path.exists(stop_file):
            break
        number += 1
        choice = rng.random()
        try:
            if choice < 0.35:
                path = os.path.join(rng.choice(known), f"c{number}")
                os.mkdir(path)
                mine.append(path)
                done("mkdir", path)
            elif choice < 0.5:
                path = os.path.join(rng.choice(known), f"n{number}", "x", "y")
                os.makedirs(path)
                mine.append(path)
                done("makedirs", path)
            elif choice < 0.8:
                # Original and new directories alike move, with all beneath them.
                source = rng.choice(mine if mine and rng.random() < 0.5 else known)
                target = os.path.join(rng.choice(known), f"r{number}")
                os.rename(source, target)
                known.append(target)
                done("rename", source, target)
            elif mine:
                path = mine.pop(rng.randrange(len(mine)))
                os.rmdir(path)
                done("rmdir", path)
        except OSError:
            counts["failed"] += 1  # moved or deleted meanwhile, or a move into itself
    if log:
        log.close()
    emit(**counts)


def child_churn_watch(root):
    markers = os.path.join(root, "marker-")
    dones = os.path.join(root, "done-")
    paced = os.path.join(root, "paced-")
    checked = set()
    others_during_churn = []
    others_after = []
    state = {"phase": "churn", "events": 0}
    report = {}

    def callback(event):
        state["events"] += 1
        kind, path = event["kind"], event["paths"][0]
        if state["events"] == 1:
            print(f"first {time.monotonic()!r}", flush=True)
        if kind == "Other":
            (others_during_churn if state["phase"] == "churn" else others_after).append(path)
        elif kind != "Create(File)":
            pass
        elif state["phase"] == "churn" and path.startswith(markers):
            state["phase"] = "check"
            report["watches_at_marker"] = inotify_watch_count()
            report["watched_inodes"] = sorted(inotify_watched_inodes())
            print("marker", flush=True)
        elif state["phase"] == "check" and os.path.basename(path) == CHECK_NAME:
            checked.add(os.path.dirname(path))
        elif state["phase"] == "check" and path.startswith(paced):
            print("paced", flush=True)
        elif state["phase"] == "check" and path.startswith(dones):
            raise Done

    outcome = watch_until_done(
        root, callback, before=lambda: print(f"start {time.monotonic()!r}", flush=True)
    )
    emit(
        outcome=outcome,
        checked=sorted(checked),
        events=state["events"],
        others_during_churn=others_during_churn[:50],
        others_during_churn_count=len(others_during_churn),
        others_after=others_after[:50],
        **report,
    )


def run_churn(
    tops=100,
    mids=10,
    leaves=19,
    churn_after_live=1.0,
    churn_during_setup=True,
    seed=1234,
    log_path=None,
    timeout=100,
):
    """Builds a tree, churns it while a watch starts on it (or, without
    `churn_during_setup`, only once the watch is live), then checks that a file made in
    every directory is reported."""
    with scratch_dir("vestra-churn-") as base:
        root = os.path.join(base, "tree")
        os.mkdir(root)
        stop_file = os.path.join(base, "stop-churn")
        built = build_tree(root, tops, mids, leaves)
        churn = watcher = None
        try:
            if churn_during_setup:
                churn = Child("churn", root, stop_file, seed, *([log_path] if log_path else []))
                churn.expect("started", 30)
            watcher = Child("churn-watch", root)
            started = float(watcher.expect("start", 30))
            if churn_during_setup:
                first = float(watcher.expect("first", 60))
            else:
                live = lambda n: touch(os.path.join(root, f"live-{n}"))  # noqa: E731
                first = float(until_line(watcher, "first", live, 0.05, 60))
                churn = Child("churn", root, stop_file, seed, *([log_path] if log_path else []))
                churn.expect("started", 30)
            time.sleep(churn_after_live)
            touch(stop_file)
            churn_counts = churn.result(60)
            until_line(watcher, "marker", lambda n: touch(os.path.join(root, f"marker-{n}")), 0.05, 60)
            directories = [dirpath for dirpath, _, _ in os.walk(root)]
            check_started = time.monotonic()
            # In steps that the watch catches up with: the check never overflows the queue.
            for start in range(0, len(directories), CHECK_STEP):
                for directory in directories[start : start + CHECK_STEP]:
                    touch(os.path.join(directory, CHECK_NAME))
                paced = lambda n, s=start: touch(os.path.join(root, f"paced-{s}-{n}"))  # noqa: E731
                until_line(watcher, "paced", paced, 0.5, 60)
            until_child_exits(watcher, lambda n: touch(os.path.join(root, f"done-{n}")), 0.1, 60)
            result = watcher.result(timeout)
            check_seconds = time.monotonic() - check_started
        finally:
            for child in (churn, watcher):
                if child is not None and child.running():
                    child.process.kill()
                    child.process.wait(10)
        checked = set(result.pop("checked"))
        missing = sorted(set(directories) - checked)
        # Reported under a path where no directory is: a wrong path.
        wrong = sorted(checked - set(directories))
        # Watched by the kernel, yet its file went unreported: a watch vestra lost track of.
        watched = set(result.pop("watched_inodes", []))
        inode_of = {os.stat(d).st_ino: d for d in directories}
        untracked = sorted(d for ino, d in inode_of.items() if ino in watched and d not in checked)
        unknown = len(watched - inode_of.keys())
        result.update(
            watched_unreported=untracked[:50],
            watched_unreported_count=len(untracked),
            watches_on_no_directory=unknown,
            wrong_paths=wrong[:50],
            wrong_path_count=len(wrong),
            built=built,
            churn=churn_counts,
            directories_at_check=len(directories),
            reported=len(checked & set(directories)),
            missing=missing[:50],
            missing_count=len(missing),
            setup_seconds=first - started,
            watch_started=started,
            first_event=first,
            check_seconds=check_seconds,
            root=root,
        )
        return result


# ---------------------------------------------------------------------------------------
# 4. A directory with very many entries at start.


def child_big_directory(root, big):
    probe = os.path.join(big, "probe-")
    inner = os.path.join(big, "sub-00000", "inner-")
    stop = threading.Event()
    seen = {}

    def poke():
        number = 0
        while not stop.is_set():
            touch(f"{probe}{number}")
            if os.path.isdir(os.path.dirname(inner)):
                touch(f"{inner}{number}")
            number += 1
            stop.wait(0.002)

    def callback(event):
        path = event["paths"][0]
        if event["kind"] != "Create(File)":
            return
        now = time.monotonic()
        if path.startswith(probe):
            seen.setdefault("big", now)
        elif path.startswith(inner):
            seen.setdefault("inner", now)
        wanted = {"big", "inner"} if os.path.isdir(os.path.dirname(inner)) else {"big"}
        if wanted <= seen.keys():
            raise Done

    poker = threading.Thread(target=poke, daemon=True)
    clock = {}

    def start_poking():
        poker.start()
        clock["started"] = time.monotonic()

    outcome = watch_until_done(root, callback, before=start_poking)
    started = clock["started"]
    stop.set()
    poker.join(5)
    emit(
        outcome=outcome,
        start_seconds=seen["big"] - started if "big" in seen else None,
        inner_seconds=seen["inner"] - started if "inner" in seen else None,
    )


def run_big_directory(entries=100_000, every_nth_is_dir=0, timeout=100):
    """A directory of `entries` entries (every n-th of them a directory when n > 0) is present
    when the watch starts; returns how long until an event in it (and in one of its
    subdirectories) came."""
    with scratch_dir("vestra-big-") as root:
        big = os.path.join(root, "big")
        os.mkdir(big)
        started = time.monotonic()
        for number in range(entries):
            if every_nth_is_dir and number % every_nth_is_dir == 0:
                os.mkdir(os.path.join(big, f"sub-{number:05}"))
            else:
                touch(os.path.join(big, f"entry-{number:06}"))
        fill_seconds = time.monotonic() - started
        result = Child("big", root, big).result(timeout)
        result.update(entries=entries, every_nth_is_dir=every_nth_is_dir, fill_seconds=fill_seconds)
        return result


# ---------------------------------------------------------------------------------------
# 5. The per-user watch limit: a user's budget of inotify watches is used up elsewhere.

IN_ATTRIB = 0x4
FILL_INSTANCES = 120  # of the 128 a user may have: one more for vestra, some to spare


def child_fill_watches(files_dir, leave, uid):
    """As `uid`, adds inotify watches on the files in `files_dir` (each file in each of
    FILL_INSTANCES instances) until the kernel refuses one, then gives `leave` back. Holds
    them until its standard input closes."""
    import ctypes
    import errno

    libc = ctypes.CDLL(None, use_errno=True)
    os.setgroups([])
    os.setgid(int(uid))
    os.setuid(int(uid))
    instances = [libc.inotify_init1(os.O_CLOEXEC) for _ in range(FILL_INSTANCES)]
    if min(instances) < 0:
        emit(error=f"inotify_init1: {os.strerror(ctypes.get_errno())}")
        return
    held = []
    refused = None
    for name in sorted(os.listdir(files_dir)):
        path = os.path.join(files_dir, name).encode()
        for fd in instances:
            wd = libc.inotify_add_watch(fd, path, IN_ATTRIB)
            if wd < 0:
                refused = ctypes.get_errno()
                break
            held.append((fd, wd))
        if refused is not None:
            break
    if refused != errno.ENOSPC:
        emit(error=f"the watch budget was not used up ({len(held)} watches, errno {refused})")
        return
    for fd, wd in held[-int(leave):]:
        libc.inotify_rm_watch(fd, wd)
    emit(held=len(held) - int(leave), free=int(leave))
    sys.stdin.read()


def files_for_watch_budget(directory):
    """Enough files that FILL_INSTANCES watches on each exceed the per-user limit."""
    with open("/proc/sys/fs/inotify/max_user_watches") as limit:
        needed = int(limit.read()) // FILL_INSTANCES + 100
    for number in range(needed):
        touch(os.path.join(directory, f"w{number:06}"))
    return needed


ROLES = {
    "leak": lambda root, calls, sample: child_leak(root, int(calls), int(sample)),
    "burst": child_burst,
    "churn": child_churn,
    "churn-watch": child_churn_watch,
    "big": child_big_directory,
    "fill-watches": child_fill_watches,
}

if __name__ == "__main__":
    ROLES[sys.argv[1]](*sys.argv[2:])
