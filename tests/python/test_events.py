"""Real file-system changes reach the callback as event dicts with the right kinds and paths."""

import os
import sys

import pytest

from helpers import assert_events, watch_events, write
from workloads import touch


def expect(root, prepare, action, expected, timeout=10.0):
    """Prepares the tree unwatched, then watches it while `action` runs, and checks that
    exactly `expected` ((kind, relative paths) pairs) arrives, in order."""
    prepare()
    seen = watch_events(root, action, timeout)
    assert_events(seen, [(kind, [os.path.join(root, p) for p in paths]) for kind, paths in expected])
    return seen


def nothing():
    pass


def test_create_file(root):
    expect(
        root,
        nothing,
        lambda: write(os.path.join(root, "new.txt")),
        [("Create(File)", ["new.txt"]), ("Modify(Data(Content))", ["new.txt"])],
    )


def test_modify_file(root):
    target = os.path.join(root, "existing.txt")
    expect(
        root,
        lambda: write(target),
        lambda: write(target, b"appended", "ab"),  # no truncation: one write
        [("Modify(Data(Content))", ["existing.txt"])],
    )


def test_remove_file(root):
    target = os.path.join(root, "doomed.txt")
    expect(
        root,
        lambda: write(target),
        lambda: os.remove(target),
        [("Remove(File)", ["doomed.txt"])],
    )


def test_make_and_remove_directory(root):
    folder = os.path.join(root, "folder")

    def make_and_remove():
        os.mkdir(folder)
        os.rmdir(folder)

    expect(
        root,
        nothing,
        make_and_remove,
        [("Create(Folder)", ["folder"]), ("Remove(Folder)", ["folder"])],
    )


def test_rename_reports_both_paths(root):
    source = os.path.join(root, "before.txt")
    expect(
        root,
        lambda: write(source),
        lambda: os.rename(source, os.path.join(root, "after.txt")),
        [("Modify(Name(Any))", ["before.txt"]), ("Modify(Name(Any))", ["after.txt"])],
    )


def test_nested_creation(root):
    deep = os.path.join(root, "a", "b", "c")

    def create():
        os.makedirs(deep)
        touch(os.path.join(deep, "leaf.txt"))

    expect(
        root,
        nothing,
        create,
        [
            ("Create(Folder)", ["a"]),
            ("Create(Folder)", ["a/b"]),
            ("Create(Folder)", ["a/b/c"]),
            ("Create(File)", ["a/b/c/leaf.txt"]),
        ],
    )


def test_changes_in_existing_subdirectory(root):
    sub = os.path.join(root, "sub", "dir")
    expect(
        root,
        lambda: os.makedirs(sub),
        lambda: write(os.path.join(sub, "inner.txt")),
        [("Create(File)", ["sub/dir/inner.txt"]), ("Modify(Data(Content))", ["sub/dir/inner.txt"])],
    )


def test_events_arrive_in_order(root):
    names = [f"file-{number:03}" for number in range(50)]
    expect(
        root,
        nothing,
        lambda: [touch(os.path.join(root, name)) for name in names],
        [("Create(File)", [name]) for name in names],
    )


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux names are raw bytes")
def test_non_utf8_name_is_decoded_lossily(root):
    raw = os.path.join(os.fsencode(root), b"a\xffb\xe2\x82")
    expect(
        root,
        nothing,
        lambda: touch(raw),
        [("Create(File)", ["a\ufffdb\ufffd"])],
    )


def test_event_dict_shape(root):
    seen = expect(
        root,
        nothing,
        lambda: touch(os.path.join(root, "shape.txt")),
        [("Create(File)", ["shape.txt"])],
    )
    for event in seen:
        assert type(event) is dict
        assert list(event) == ["kind", "paths"]
        assert type(event["kind"]) is str
        assert type(event["paths"]) is list
        assert all(type(path) is str for path in event["paths"])
