"""Polling where inotify is blind: a FUSE passthrough mount shows what is changed through
its backing directory, and no inotify event on the mount tells of it. vestra polls such a
file system by itself, and reports every change."""

import os
import shutil
import subprocess

import pytest

import workloads
from helpers import WatchingChild, linux_only

pytestmark = linux_only

FAST = {"VESTRA_POLL_INTERVAL": "0.05"}


@pytest.fixture
def passthrough(tmp_path):
    """(backing, mount): a bindfs mount of `backing`, unmounted afterwards."""
    if not os.path.exists("/dev/fuse"):
        pytest.skip("this machine has no /dev/fuse: no FUSE file system can be mounted")
    # Only the device may be missing where every test must run (the test is marked so).
    lacking = pytest.fail if os.environ.get("VESTRA_REQUIRE_ALL") == "1" else pytest.skip
    if shutil.which("bindfs") is None:
        lacking("bindfs is missing (scripts/setup-system installs it)")
    if os.geteuid() != 0:
        lacking("mounting bindfs here needs root")
    backing, mount = tmp_path / "backing", tmp_path / "mount"
    backing.mkdir()
    mount.mkdir()
    subprocess.run(["bindfs", str(backing), str(mount)], check=True, timeout=30)
    try:
        yield os.path.realpath(backing), os.path.realpath(mount)
    finally:
        subprocess.run(["fusermount", "-u", "-z", str(mount)], check=False, timeout=30)


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
