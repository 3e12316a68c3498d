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


def test_events_are_made_of_the_given_type_with_kinds_from_the_table_or_of_text(root):
    class Made:
        __slots__ = ("kind", "path", "old_path", "is_dir", "text")

        def __setattr__(self, name, value):
            raise AttributeError("frozen")

    kinds = {"Create(File)": "listed"}
    asked = []
    watch = native_watch(root)
    watch.make_events_with(Made, kinds, lambda text: asked.append(text) or text.lower())
    os.mkdir(os.path.join(root, "dir"))
    open(os.path.join(root, "file"), "w").close()
    batch = []
    with time_limit(10):  # with no debounce window, the two may come in two batches
        while len(batch) < 2:
            batch += watch.read(5.0)
    watch.close()
    made = [(e.kind, e.path, e.old_path, e.is_dir, e.text) for e in batch]
    assert made == [
        ("create(folder)", os.path.join(root, "dir"), None, True, "Create(Folder)"),
        ("listed", os.path.join(root, "file"), None, False, "Create(File)"),
    ]
    assert asked == ["Create(Folder)"] and kinds["Create(Folder)"] == "create(folder)"
