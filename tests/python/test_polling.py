"""Polling where inotify is blind: a FUSE passthrough mount shows what is changed through
its backing directory, and no inotify event on the mount tells of it. vestra polls such a
file system by itself, and reports every change."""

import contextlib
import os
import shutil
import subprocess
import time

import pytest

import workloads
from helpers import TOOL_ENV, WatchingChild, linux_only
from vestra.watch import Watch

pytestmark = linux_only

FAST = {"VESTRA_POLL_INTERVAL": "0.05"}


def require_bindfs():
    if not os.path.exists("/dev/fuse"):
        pytest.skip("this machine has no /dev/fuse: no FUSE file system can be mounted")
    # Only the device may be missing where every test must run (the test is marked so).
    lacking = pytest.fail if os.environ.get("VESTRA_REQUIRE_ALL") == "1" else pytest.skip
    if shutil.which("bindfs") is None:
        lacking("bindfs is missing (scripts/setup-system installs it)")
    if os.geteuid() != 0:
        lacking("mounting bindfs here needs root")


@contextlib.contextmanager
def bindfs(backing, mount):
    """`backing` mounted at `mount` through bindfs while the block runs, unmounted after."""
    os.makedirs(backing, exist_ok=True)
    os.makedirs(mount, exist_ok=True)
    subprocess.run(["bindfs", str(backing), str(mount)], check=True, timeout=30, env=TOOL_ENV)
    try:
        yield
    finally:
        subprocess.run(["fusermount", "-u", "-z", str(mount)], check=False, timeout=30, env=TOOL_ENV)


@pytest.fixture
def passthrough(tmp_path):
    """(backing, mount): a bindfs mount of `backing`, unmounted afterwards."""
    require_bindfs()
    backing, mount = tmp_path / "backing", tmp_path / "mount"
    with bindfs(backing, mount):
        yield os.path.realpath(backing), os.path.realpath(mount)


@pytest.mark.hardware_skip
def test_changes_through_the_backing_directory_are_reported(passthrough):
    backing, mount = passthrough
    os.mkdir(os.path.join(backing, "d"))
    workloads.touch(os.path.join(backing, "d", "f"))
    workloads.touch(os.path.join(backing, "gone"))
    watcher = WatchingChild(mount, extra_env=FAST)
    try:
        watcher.wait_live(os.path.join(mount, ".probe"))
        first = len(watcher.events)
        workloads.touch(os.path.join(backing, "new"))
        os.mkdir(os.path.join(backing, "sub"))
        with open(os.path.join(backing, "d", "f"), "a") as handle:
            handle.write("more")
        os.rename(os.path.join(backing, "d"), os.path.join(backing, "e"))
        os.unlink(os.path.join(backing, "gone"))
        expected = [
            ("Create(File)", "new"),
            ("Create(Folder)", "sub"),
            ("Modify(Data(Content))", "e/f"),
            ("Modify(Name(Any))", "d"),
            ("Modify(Name(Any))", "e"),
            ("Remove(File)", "gone"),
        ]
        expected = sorted((kind, os.path.join(mount, path)) for kind, path in expected)

        def seen(events):
            return sorted(
                (e["kind"], e["paths"][0])
                for e in events[first:]
                if not e["paths"][0].startswith(os.path.join(mount, ".probe"))
            )

        watcher.wait_until(lambda events: set(expected) <= set(seen(events)), timeout=10)
        watcher.sync(os.path.join(mount, ".probe", "synced"))
        watcher.sync(os.path.join(mount, ".probe", "synced-again"))
        assert seen(watcher.events) == expected, "each change once, nothing else"
    finally:
        watcher.close()


def read_until(watch, done, timeout=10):
    """The events read until `done(events)` holds; fails after `timeout` seconds."""
    events = []
    deadline = time.monotonic() + timeout
    while not done(events):
        left = deadline - time.monotonic()
        assert left > 0, f"gave up waiting; read {[(e.text, e.path) for e in events]}"
        events.extend(watch.read(min(left, 0.5)) or [])
    return events


@pytest.mark.hardware_skip
def test_remote_mounts_inside_a_watched_tree_are_polled_there(tmp_path):
    require_bindfs()
    base = os.path.realpath(tmp_path)
    tree = os.path.join(base, "tree")
    early, late = os.path.join(tree, "early"), os.path.join(tree, "sub", "late")
    for made in (os.path.join(tree, "sub"), os.path.join(base, "b2")):
        os.makedirs(made)
    with contextlib.ExitStack() as mounts:
        mounts.enter_context(bindfs(os.path.join(base, "b1"), early))
        workloads.touch(os.path.join(base, "b1", "old"))
        with Watch(tree, debounce=0, poll_interval=0.05) as watch:
            assert watch.coverage() == [
                (tree, "inotify", "kernel watches"),
                (early, "polling", "remote file system (fuse)"),
            ]
            workloads.touch(os.path.join(base, "b2", "there-before"))
            mounts.enter_context(bindfs(os.path.join(base, "b2"), late))
            expected = [os.path.join(late, "there-before")]
            seen = read_until(watch, lambda events: expected[0] in {e.path for e in events})
            for backing, mount in (("b1", early), ("b2", late)):
                workloads.touch(os.path.join(base, backing, "new"))
                expected.append(os.path.join(mount, "new"))
            seen += read_until(watch, lambda events: set(expected[1:]) <= {e.path for e in events})
            assert sorted(row[0] for row in watch.coverage()) == [tree, early, late]
            local = os.path.join(tree, "sub", "marker")
            workloads.touch(local)
            expected.append(local)
            seen += read_until(watch, lambda events: local in {e.path for e in events})
            created = [e.path for e in seen if e.text == "Create(File)"]
            assert sorted(created) == sorted(expected), "each once, under the mount's path"
            # Unmounted, the directory beneath is watched with inotify again.
            subprocess.run(["fusermount", "-u", late], check=True, timeout=30, env=TOOL_ENV)
            beneath = os.path.join(late, "beneath")
            workloads.touch(beneath)
            read_until(watch, lambda events: beneath in {e.path for e in events})
            assert sorted(row[0] for row in watch.coverage()) == [tree, early]


@pytest.mark.parametrize(
    ("poll", "env", "row"),
    [
        (True, None, ("polling", "forced")),
        (None, "1", ("polling", "forced")),
        (False, "1", ("inotify", "kernel watches")),
    ],
)
def test_forced_polling_is_an_option(tmp_path, monkeypatch, poll, env, row):
    if env is None:
        monkeypatch.delenv("VESTRA_POLL", raising=False)
    else:
        monkeypatch.setenv("VESTRA_POLL", env)
    tree = os.path.realpath(tmp_path)
    with Watch(tree, debounce=0, poll=poll, poll_interval=0.05) as watch:
        assert watch.coverage() == [(tree, *row)]
        made = os.path.join(tree, "made")
        workloads.touch(made)
        read_until(watch, lambda events: made in {e.path for e in events})
