"""The watching process stalls (SIGSTOP) while the tree changes: the events then reach
vestra as one late batch, describing paths that have changed again since. Afterwards every
directory must be watched under its present path, or an Other event must say where not."""

import os

import workloads
from helpers import SilentGap, linux_only, shorten, watching_child, write

pytestmark = linux_only


def directories(root):
    return [dirpath for dirpath, _, _ in os.walk(root)]


def check_every_directory_watched(root, watcher):
    """Creates a file in every directory of the tree and waits for their creations (too
    few to overflow anything: no Other event covers a miss). Also compares the kernel's
    count of watches with the directories."""
    dirs = directories(root)
    for directory in dirs:
        write(os.path.join(directory, "check"))
    watcher.sync(os.path.join(root, "check-done"), timeout=15)
    seen = {(e["kind"], e["paths"][0]) for e in watcher.events}
    missing = [d for d in dirs if ("Create(File)", os.path.join(d, "check")) not in seen]
    if missing:
        watched = workloads.inotify_watched_inodes(watcher.child.process.pid)
        with_watch = [d for d in missing if os.stat(d).st_ino in watched]
        raise SilentGap(
            f"unreported, with no Other event: {missing!r} (of these, the kernel still "
            f"watches {with_watch!r}); events {shorten(watcher.events)}"
        )
    watches = workloads.inotify_watch_count(watcher.child.process.pid)
    expected = len(dirs) + workloads.ancestor_watches(root)
    assert watches == expected, f"{watches} watches for {len(dirs)} directories: {dirs!r}"


def test_overflow_in_a_late_batch_is_reported_and_the_tree_watched_afresh(tmp_path):
    # More events than the kernel queue holds (in a watched directory), and new directories
    # after them: the resync after the overflow must find those. (Late batches without an
    # overflow are the model test's business: test_model.py.)
    root = os.path.join(os.path.realpath(tmp_path), "tree")
    for name in ("X/sub", "Y/sub"):
        os.makedirs(os.path.join(root, name))
    with watching_child(root) as watcher:
        watcher.wait_live(os.path.join(root, ".probe"))
        with watcher.frozen():
            for number in range(workloads.max_queued_events() + 1000):
                workloads.touch(os.path.join(root, "X", f"f{number}"))
            os.makedirs(os.path.join(root, "X/after-overflow/inner"))
            os.makedirs(os.path.join(root, "Z/new"))
        # Until vestra reads the full queue, the kernel drops new events (the Other covers
        # them): the marker below must come after that.
        watcher.expect([("Other", root)], timeout=30)
        watcher.sync(os.path.join(root, "thawed"), timeout=30)
        check_every_directory_watched(root, watcher)
        outside = [e["paths"] for e in watcher.events if not e["paths"][0].startswith(root)]
        assert outside == [], outside
        assert watcher.finish()["ended"] == "KeyboardInterrupt"
