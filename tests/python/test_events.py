"""Real file-system changes reach the callback as event dicts with the right kinds and paths."""

import os

import pytest

from helpers import assert_events, watch_events, write
from workloads import touch

NAMES = [f"file-{number:03}" for number in range(50)]

# name: (prepare, action, expected). Both functions take the watched root: the tree is
# prepared unwatched, then exactly the expected (kind, paths relative to the root) pairs
# must arrive, in order, while the action runs.
CASES = {
    "create-file": (
        None,
        lambda root: write(os.path.join(root, "new.txt")),
        [("Create(File)", ["new.txt"]), ("Modify(Data(Content))", ["new.txt"])],
    ),
    "modify-file": (
        lambda root: write(os.path.join(root, "existing.txt")),
        # No truncation: one write.
        lambda root: write(os.path.join(root, "existing.txt"), b"appended", "ab"),
        [("Modify(Data(Content))", ["existing.txt"])],
    ),
    "remove-file": (
        lambda root: write(os.path.join(root, "doomed.txt")),
        lambda root: os.remove(os.path.join(root, "doomed.txt")),
        [("Remove(File)", ["doomed.txt"])],
    ),
    "make-and-remove-directory": (
        None,
        lambda root: (os.mkdir(os.path.join(root, "d")), os.rmdir(os.path.join(root, "d"))),
        [("Create(Folder)", ["d"]), ("Remove(Folder)", ["d"])],
    ),
    "rename-reports-both-paths": (
        lambda root: write(os.path.join(root, "before.txt")),
        lambda root: os.rename(os.path.join(root, "before.txt"), os.path.join(root, "after.txt")),
        [("Modify(Name(Any))", ["before.txt"]), ("Modify(Name(Any))", ["after.txt"])],
    ),
    "nested-creation": (
        None,
        lambda root: (os.makedirs(os.path.join(root, "a/b/c")), touch(f"{root}/a/b/c/leaf")),
        [
            ("Create(Folder)", ["a"]),
            ("Create(Folder)", ["a/b"]),
            ("Create(Folder)", ["a/b/c"]),
            ("Create(File)", ["a/b/c/leaf"]),
        ],
    ),
    "changes-in-existing-subdirectory": (
        lambda root: os.makedirs(os.path.join(root, "sub/dir")),
        lambda root: write(os.path.join(root, "sub/dir/inner.txt")),
        [("Create(File)", ["sub/dir/inner.txt"]), ("Modify(Data(Content))", ["sub/dir/inner.txt"])],
    ),
    "events-arrive-in-order": (
        None,
        lambda root: [touch(os.path.join(root, name)) for name in NAMES],
        [("Create(File)", [name]) for name in NAMES],
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_change_brings_exactly_its_events(root, case):
    prepare, action, expected = CASES[case]
    if prepare:
        prepare(root)
    seen = watch_events(root, lambda: action(root))
    assert_events(seen, [(kind, [f"{root}/{p}" for p in paths]) for kind, paths in expected])
    # Each event is a plain dict of a str kind and a list of str paths.
    for event in seen:
        assert type(event) is dict
        assert list(event) == ["kind", "paths"]
        assert type(event["kind"]) is str
        assert type(event["paths"]) is list
        assert all(type(path) is str for path in event["paths"])
