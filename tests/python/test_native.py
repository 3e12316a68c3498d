"""vestra._native, the core under vestra.watch: what only its own interface shows (the
time until a pending batch is due, nothing watched before start). Everything else is tested
through vestra.watch (test_watch.py)."""

import os
import time

from helpers import time_limit
from vestra import _native


def native_watch(path, *, start=True, debounce=0.0, ignore=()):
    return _native.Watch([str(path)], [True], list(ignore), debounce, 1.0, False, start)


def test_read_ready_says_how_long_until_the_pending_batch(root):
    watch = native_watch(root, debounce=10.0)
    assert watch.read_ready() == -1.0
    open(os.path.join(root, "new"), "w").close()
    with time_limit(10):
        while (left := watch.read_ready()) == -1.0:
            time.sleep(0.01)
    assert 0.0 < left <= 1.0, "due at the cap of one second"
    watch.close()


def test_nothing_is_watched_before_start(root):
    watch = native_watch(root, start=False)
    assert watch.watch_count == 0
    open(os.path.join(root, "early"), "w").close()
    watch.start()
    open(os.path.join(root, "late"), "w").close()
    with time_limit(10):
        batch = watch.read(5.0)
    assert [event[1] for event in batch] == [os.path.join(root, "late")]
    watch.close()
