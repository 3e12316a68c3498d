"""The Linux tree watcher against a model: random file operations on a watched tree, some of
them while the watching process is stopped (SIGSTOP) so that they reach it as one late batch.
Afterwards the events are replayed over the starting tree the way the README tells a consumer
to (its replay guarantee) and the result is compared with the tree on disk.

model_run.py runs many more sequences and prints the counts; with --shrink it prints a
minimal failing sequence."""

import ctypes
import os
import shutil
import signal
import tempfile

import pytest
from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule, run_state_machine_as_test

import workloads
from helpers import WatchingChild, linux_only

pytestmark = linux_only

PROBE = ".probe"
START = ["a/sub/old", "a/f", "b/", "c/d/", "e"]  # a trailing "/" makes a directory
NAME = "Modify(Name(Any))"
# What vestra.watch gives instead: renames paired by the platform layer, and lone halves
# that say which way they went.
RENAMED, MOVED_IN, MOVED_OUT, EXCHANGED = (
    f"Modify(Name({half}))" for half in ("Both", "To", "From", "Other")
)
libc = ctypes.CDLL(None, use_errno=True)
RENAME_EXCHANGE = 2
AT_FDCWD = -100
# Polling forced, often enough that a test waits little for each poll.
POLLED_ENV = {"VESTRA_POLL": "1", "VESTRA_POLL_INTERVAL": "0.05"}


def snapshot(root):
    """Every path below `root`, relative, the probe directory left out."""
    paths = set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel == ".":
            dirnames[:] = [d for d in dirnames if d != PROBE]
        paths.update(os.path.normpath(os.path.join(rel, n)) for n in dirnames + filenames)
    return paths


def below(path, tops):
    """True when `path` lies strictly below one of `tops` ("" being the root)."""
    return any(top == "" or path.startswith(top + "/") for top in tops)


def within(path, top):
    return path == top or path.startswith(top + "/")


class Replay:
    """A consumer that knows only the starting tree and the events, and for each event
    whether its path existed as it arrived (what a consumer can ask the disk then).

    Adjacent Name halves pair up, old path then new, when the consumer knows the first
    path and not the second. When it knows both, they are a rename over the second path or
    the first moved out (the second then pairs with the next half or moved out too). The
    disk's answer for the second path decides, unless later events say otherwise: a Create
    of it means it was gone, any other event naming it or a path below it that it was
    there. So every reading is followed, charged with each event it cannot explain; the
    cheapest wins, then the one that agrees most with the disk."""

    BEAM = 256

    def __init__(self, tree):
        self.tree = set(tree)
        self.blind = set()  # moved in: what lies below is unknown
        self.others = set()
        # Read as moved out by the second half of a pair of known paths: a later event
        # naming the path other than its Create says it was there after all.
        self.tentative = set()
        self.duplicates = []  # a Create of a path there, or a Remove of one gone
        self.unexplained = []  # an event naming a path (or a parent) not there
        self.guesses = 0  # readings against what the disk showed as the half arrived

    def copy(self):
        other = Replay(self.tree)
        other.blind, other.others = set(self.blind), set(self.others)
        other.tentative = set(self.tentative)
        other.duplicates, other.unexplained = list(self.duplicates), list(self.unexplained)
        other.guesses = self.guesses
        return other

    def cost(self):
        return len(self.duplicates) + len(self.unexplained)

    def key(self):
        return (
            frozenset(self.tree),
            frozenset(self.blind),
            frozenset(self.tentative),
            self.cost(),
            self.guesses,
        )

    def lenient(self, path):
        return below(path, self.blind | self.others)

    def there(self, path):
        return path == "" or path in self.tree or self.lenient(path)

    def expect(self, path, event):
        if not self.there(path):
            self.unexplained.append(event)

    def drop(self, path):
        for group in (self.tree, self.blind):
            group.difference_update([p for p in group if within(p, path)])

    def move(self, old, new):
        self.drop(new)
        for group in (self.tree, self.blind):
            moved = [p for p in group if within(p, old)]
            group.difference_update(moved)
            group.update(new + p[len(old) :] for p in moved)
        self.tree.add(new)

    def event(self, kind, path, old=None):
        parent = os.path.dirname(path)
        if kind in (RENAMED, EXCHANGED):
            self.expect(old, (kind, old))
            self.expect(path if kind == EXCHANGED else parent, (kind, path))
            if kind == EXCHANGED:
                self.move(old, "\0")
                self.move(path, old)
                self.move("\0", path)
            else:
                blind = old not in self.tree  # from inside a moved-in directory
                self.move(old, path)
                if blind:
                    self.blind.add(path)
        elif kind == MOVED_IN:
            self.expect(parent, (kind, path))
            self.drop(path)
            self.tree.add(path)
            self.blind.add(path)
        elif kind == MOVED_OUT:
            self.expect(path, (kind, path))
            self.drop(path)
        elif kind.startswith("Create"):
            self.tentative.discard(path)
            self.expect(parent, (kind, path))
            if path in self.tree and not self.lenient(path):
                self.duplicates.append((kind, path))
            self.tree.add(path)
        elif kind.startswith("Remove"):
            if not self.there(path):
                self.duplicates.append((kind, path))
            self.drop(path)
        elif kind == "Other":
            self.others.add(path)
        else:
            self.expect(path, (kind, path))

    def step(self, run, there):
        """The ways to read the first Name halves of `run`: (state after, halves taken).
        `there` says for each half whether its path existed as it arrived."""
        first, rest = run[0], run[1:]
        found = []
        if (
            len(rest) >= 3
            and rest[:3] == [rest[0], rest[0], first]
            and {first, rest[0]} <= self.tree
        ):
            swapped = self.copy()  # an exchange: P, Q then Q, P
            swapped.move(first, "\0")
            swapped.move(rest[0], first)
            swapped.move("\0", rest[0])
            found.append((swapped, 4))
        known = first in self.tree or self.lenient(first)
        if rest and known:
            paired = self.copy()
            paired.expect(os.path.dirname(rest[0]), (NAME, rest[0]))
            paired.move(first, rest[0])
            paired.tentative.discard(first)
            if first not in self.tree:
                paired.blind.add(rest[0])  # from inside a moved-in directory
            found.append((paired, 2))
            if rest[0] in self.tree:
                paired.guesses += not there[1]
        alone = self.copy()
        if rest and known:
            # A known path then an unknown one is most likely a rename, not out and in.
            alone.guesses += rest[0] not in self.tree or there[1]
            if rest[0] in self.tree:
                alone.tentative.add(rest[0])
        if first in self.tree:
            over = alone.copy()  # moved in over it
            over.drop(first)
            over.tree.add(first)
            over.blind.add(first)
            over.tentative.discard(first)
            over.guesses += not there[0]
            found.append((over, 1))
            alone.guesses += there[0]
        if known:
            alone.drop(first)  # moved out
        else:
            if first in self.tentative:
                alone.unexplained.append((NAME, first))
                alone.tentative.discard(first)
            alone.expect(os.path.dirname(first), (NAME, first))
            alone.tree.add(first)  # moved in
            alone.blind.add(first)
        return found + [(alone, 1)]


def best(states, taken=None):
    """The cheapest distinct states, each with how far it has read a run."""
    taken = taken or [0] * len(states)
    unique = {(state.key(), n): (state, n) for state, n in zip(states, taken)}
    return sorted(unique.values(), key=lambda pair: (pair[0].cost(), pair[0].guesses))[
        : Replay.BEAM
    ]


def replay(start, events):
    """The readings of `events` ((kind, path, there, old path) tuples) over `start` that fit
    them best."""
    states = [Replay(start)]
    i = 0
    while i < len(events):
        j = i
        while j < len(events) and events[j][0] == NAME:
            j += 1
        if j == i:
            kind, path, _, old = events[i]
            for state in states:
                state.event(kind, path, old)
            states = [state for state, _ in best(states)]
            i += 1
            continue
        run, there = [p for _, p, _, _ in events[i:j]], [t for _, _, t, _ in events[i:j]]
        reading, states = best(states), []
        while reading:
            states += [state for state, n in reading if n == len(run)]
            going = [
                (after, n + k)
                for state, n in reading
                if n < len(run)
                for after, k in state.step(run[n:], there[n:])
            ]
            reading = best(*zip(*going)) if going else []
        states = [state for state, _ in best(states)]
        i = j
    return states


class Tally:
    """What a run found, summed over sequences."""

    def __init__(self):
        self.counts = {"sequences": 0, "failed": 0}
        self.failures = []


class WatchedTree(RuleBasedStateMachine):
    """Random operations on a watched tree; the replay check runs at teardown."""

    tally = None  # a Tally collects instead of failing
    polled = False  # every directory polled instead of watched with inotify
    api = "rswatcher"  # how the child watches (helpers.WATCH_CALLS)

    def __init__(self):
        super().__init__()
        self.base = os.path.realpath(
            tempfile.mkdtemp(prefix="vestra-model-", dir=workloads.scratch_base())
        )
        self.root = os.path.join(self.base, "tree")
        self.outside = os.path.join(self.base, "outside")
        os.mkdir(self.outside)
        for entry in START:
            path = os.path.join(self.root, entry)
            os.makedirs(os.path.dirname(path) if not entry.endswith("/") else path, exist_ok=True)
            if not entry.endswith("/"):
                workloads.touch(path)
        self.number = 0
        self.log = []
        self.moved_in = set()  # inodes of what was moved in from outside
        self.stopped = False
        self.watcher = WatchingChild(
            self.root, api=self.api, extra_env=POLLED_ENV if self.polled else None
        )
        self.watcher.wait_live(os.path.join(self.root, PROBE))
        self.start = snapshot(self.root)
        self.ever = self.start | {""}
        self.first_event = len(self.watcher.events)

    # --- picking paths from what is on disk now

    def fresh(self):
        self.number += 1
        return f"n{self.number}"

    def paths(self, want=None):
        found = sorted(snapshot(self.root))
        if want == "dir":
            return [""] + [p for p in found if os.path.isdir(self.abs(p))]
        if want == "file":
            return [p for p in found if not os.path.isdir(self.abs(p))]
        return found

    def pick(self, number, want=None, unless=None):
        found = [p for p in self.paths(want) if unless is None or not unless(p)]
        return found[number % len(found)] if found else None

    def abs(self, rel):
        return os.path.join(self.root, rel) if rel else self.root

    def done(self, text):
        self.log.append(text)
        self.ever |= snapshot(self.root)

    def rename(self, old, new, what="mv"):
        os.rename(self.abs(old), self.abs(new))
        self.done(f"{what} {old} {new}")

    # --- the operations

    @rule(a=st.integers(0, 99), deep=st.booleans())
    def mkdir(self, a, deep):
        path = os.path.join(self.pick(a, "dir"), self.fresh())
        if deep:
            path = os.path.join(path, self.fresh(), self.fresh())
        os.makedirs(self.abs(path))
        self.done(f"mkdir -p {path}" if deep else f"mkdir {path}")

    @rule(a=st.integers(0, 99))
    def create(self, a):
        path = os.path.join(self.pick(a, "dir"), self.fresh())
        with open(self.abs(path), "w") as handle:
            handle.write("x")
        self.done(f"create {path}")

    @rule(a=st.integers(0, 99), chmod=st.booleans())
    def change(self, a, chmod):
        path = self.pick(a, None if chmod else "file")
        if path is None:
            return
        if chmod:
            os.chmod(self.abs(path), 0o750 if os.stat(self.abs(path)).st_mode & 0o7 else 0o755)
        else:
            with open(self.abs(path), "a") as handle:
                handle.write("y")
        self.done(f"{'chmod' if chmod else 'write'} {path}")

    @rule(a=st.integers(0, 99), b=st.integers(0, 99), into_new=st.booleans())
    def move(self, a, b, into_new):
        source = self.pick(a)
        if source is None:
            return
        parent = self.pick(b, "dir", unless=lambda p: within(p, source))
        if into_new:
            parent = os.path.join(parent, self.fresh())
            os.mkdir(self.abs(parent))
            self.done(f"mkdir {parent}")
        self.rename(source, os.path.join(parent, self.fresh()))

    @rule(a=st.integers(0, 99), b=st.integers(0, 99))
    def move_over(self, a, b):
        source = self.pick(a)
        if source is None:
            return
        is_dir = os.path.isdir(self.abs(source))
        target = self.pick(
            b,
            "dir" if is_dir else "file",
            unless=lambda p: p in ("", source)
            or within(p, source)
            or (is_dir and os.listdir(self.abs(p))),
        )
        if target is not None:
            self.rename(source, target, "mv over")

    @rule(a=st.integers(0, 99), b=st.integers(0, 99), back=st.booleans())
    def out_and_in(self, a, b, back):
        """Out of the tree, or back in (changed while outside, if a directory)."""
        away = sorted(os.listdir(self.outside))
        if back and away:
            name = away[b % len(away)]
            path = os.path.join(self.outside, name)
            if os.path.isdir(path):
                os.mkdir(os.path.join(path, self.fresh()))
            self.moved_in.add(os.stat(path).st_ino)
            target = os.path.join(self.pick(a, "dir"), self.fresh())
            os.rename(path, self.abs(target))
            self.done(f"mv outside/{name} {target}")
            return
        source = self.pick(a)
        if source is not None:
            name = self.fresh()
            os.rename(self.abs(source), os.path.join(self.outside, name))
            self.done(f"mv {source} outside/{name}")

    @rule(a=st.integers(0, 99), b=st.integers(0, 99), exchange=st.booleans())
    def swap(self, a, b, exchange):
        first = self.pick(a)
        second = self.pick(
            b, unless=lambda p: first is None or within(p, first) or within(first, p)
        )
        if second is None:
            return
        if exchange:
            if libc.renameat2(
                AT_FDCWD,
                self.abs(first).encode(),
                AT_FDCWD,
                self.abs(second).encode(),
                RENAME_EXCHANGE,
            ):
                raise OSError(ctypes.get_errno(), "renameat2")
            self.done(f"exchange {first} {second}")
            return
        third = os.path.join(os.path.dirname(first), self.fresh())
        self.rename(first, third)
        self.rename(second, first)
        self.rename(third, second)

    @rule(a=st.integers(0, 99), tree=st.booleans(), replace=st.booleans())
    def remove(self, a, tree, replace):
        path = self.pick(
            a,
            "dir" if tree else None,
            unless=lambda p: p == ""
            or (not tree and os.path.isdir(self.abs(p)) and os.listdir(self.abs(p))),
        )
        if path is None:
            return
        was_dir = os.path.isdir(self.abs(path))
        shutil.rmtree(self.abs(path)) if was_dir else os.unlink(self.abs(path))
        self.done(f"{'rm -r' if tree else 'rm'} {path}")
        if replace:  # the same name again, as the other type
            os.mkdir(self.abs(path)) if not was_dir else workloads.touch(self.abs(path))
            self.done(f"{'create' if was_dir else 'mkdir'} {path}")

    @precondition(lambda self: not self.stopped)
    @rule()
    def stop(self):
        workloads.stop_process(self.watcher.child.process.pid)
        self.stopped = True
        self.log.append("(watcher stopped)")

    @precondition(lambda self: self.stopped)
    @rule()
    def resume(self):
        os.kill(self.watcher.child.process.pid, signal.SIGCONT)
        self.stopped = False
        self.log.append("(watcher resumed)")

    # --- the check

    def teardown(self):
        try:
            if self.stopped:
                self.resume()
            self.sync("synced")
            # Every directory still watched: a file made in each must be reported too.
            for directory in self.paths("dir"):
                workloads.touch(os.path.join(self.abs(directory), "check-" + self.fresh()))
            self.done("create a file in every directory")
            self.sync("checked")
            self.check()
        finally:
            self.watcher.close()
            shutil.rmtree(self.base, ignore_errors=True)

    def sync(self, name):
        self.watcher.sync(os.path.join(self.root, PROBE, name), timeout=30)
        if self.polled:
            # A poll reports in path order, not in the order of the changes: the probe of
            # the next poll comes after everything the last one found.
            self.watcher.sync(os.path.join(self.root, PROBE, name + "-again"), timeout=30)

    def check(self):
        def relative(path):  # a path outside the tree stays absolute: a phantom
            return "" if path == self.root else path.removeprefix(self.root + "/")

        events = [
            (
                e["kind"],
                relative(e["paths"][-1]),
                there[-1],
                relative(e["paths"][0]) if len(e["paths"]) > 1 else None,
            )
            for e, there in zip(
                self.watcher.events[self.first_event :], self.watcher.there[self.first_event :]
            )
        ]
        events = [event for event in events if not within(event[1], PROBE)]
        disk = snapshot(self.root)
        moved_in = {p for p in disk if os.lstat(self.abs(p)).st_ino in self.moved_in}

        def judged(state):
            excused = moved_in | state.blind | state.others
            return {
                "missing": sorted(p for p in disk - state.tree if not below(p, excused)),
                "extra": sorted(p for p in state.tree - disk if not below(p, excused)),
                "unexplained": state.unexplained,
                "duplicate": state.duplicates,
            }

        found = min(
            (judged(state) | {"guesses": state.guesses} for state in replay(self.start, events)),
            key=lambda found: (
                sum(len(v) for k, v in found.items() if k != "guesses"),
                found["guesses"],
            ),
        )
        del found["guesses"]
        named = {p for _, path, _, old in events for p in (path, old) if p is not None}
        # A poll sees where things ended, not the order they went in: when several moves
        # fall in one poll, a rename can name a directory where an earlier rename of that
        # poll put it. Counted, and checked by the replay like every other name.
        found["interim" if self.polled else "phantom"] = sorted(named - self.ever)
        # Through vestra.watch every rename half comes typed: none needs the disk.
        if self.api != "rswatcher":
            found["unpaired"] = [p for kind, p, _, _ in events if kind == NAME]
        # Nothing here calls for an Other event. Every directory has a kernel watch and no
        # other watch is left (but for those on the root's ancestors); polled, none has.
        found["other"] = [p for kind, p, _, _ in events if kind == "Other"]
        directories = {os.stat(self.abs(d)).st_ino: d for d in self.paths("dir") + [PROBE]}
        above, path = set(), self.root
        while path != "/":
            path = os.path.dirname(path)
            above.add(os.stat(path).st_ino)
        watched = workloads.inotify_watched_inodes(self.watcher.child.process.pid)
        if self.polled:
            found["watches"] = [f"watched {i}" for i in watched]
        else:
            found["watches"] = [
                f"unwatched {d}" for i, d in directories.items() if i not in watched
            ]
            found["watches"] += [f"stale {i}" for i in watched - directories.keys() - above]
        report = (
            f"{found}\noperations:\n  "
            + "\n  ".join(self.log)
            + "\nevents:\n  "
            + "\n  ".join(f"{k} {old + ' ' if old else ''}{p}" for k, p, _, old in events)
        )
        failed = any(found[k] for k in found if k not in ("duplicate", "interim"))
        if self.tally is not None:
            counts = self.tally.counts
            counts["sequences"] += 1
            counts["failed"] += failed
            for key, paths in found.items():
                counts[key] = counts.get(key, 0) + len(paths)
            if failed:
                self.tally.failures.append(report)
            return
        assert not failed, report


class WatchedTreeThroughWatch(WatchedTree):
    """The same, with the events read through vestra.watch."""

    api = "watch"


def run(
    examples,
    steps,
    phases=(Phase.explicit, Phase.generate),
    derandomize=True,
    tally=None,
    polled=False,
    machine=WatchedTree,
):
    WatchedTree.tally = tally
    WatchedTree.polled = polled
    try:
        run_state_machine_as_test(
            machine,
            settings=settings(
                max_examples=examples,
                stateful_step_count=steps,
                derandomize=derandomize,
                database=None,
                deadline=None,
                phases=phases,
                report_multiple_bugs=False,
                suppress_health_check=list(HealthCheck),
            ),
        )
    finally:
        WatchedTree.tally = None
        WatchedTree.polled = False


def test_replay_of_events_gives_the_tree_on_disk():
    # A fixed set of sequences, no shrinking (model_run.py --shrink finds a minimal one).
    run(examples=40, steps=25)


def test_replay_with_every_directory_polled():
    # The same promise when polling finds the changes: replay gives the tree of the last poll.
    run(examples=8, steps=25, polled=True)


@pytest.mark.slow
def test_replay_of_events_read_through_vestra_watch_gives_the_tree_on_disk():
    # The same promise through vestra.watch, where every rename comes paired or typed and no
    # reading of the disk can cover for a wrong one.
    run(examples=12, steps=25, machine=WatchedTreeThroughWatch)
