"""Hostile and odd input: each gives a clear error or the right events, never a crash.

Every watch runs in a child process (helpers.WatchingChild), so that a crash or a hang of
vestra fails the test that caused it instead of ending the whole run."""

import contextlib
import os
import shutil
import socket

import pytest

from helpers import events_under, linux_only, unwrap_message, watching_child, write
from workloads import ancestor_watches, inotify_watch_count, scratch_dir

pytestmark = linux_only

NOBODY = 65534


def deep_directory(top, length):
    """Makes a chain of directories under `top` whose full path is longer than `length`
    (built relative to open descriptors: no single call sees the whole path)."""
    component = "d" * 200
    path = top
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        while len(path) <= length:
            os.mkdir(component, dir_fd=fd)
            inner = os.open(component, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
            path = os.path.join(path, component)
    finally:
        os.close(fd)
    return path


# ---------------------------------------------------------------------------------------
# Paths that cannot be watched


def shown(path):
    """The path as the error text writes it: quoted, with escapes."""
    escaped = path.replace("\\", "\\\\").replace('"', '\\"').replace("\0", "\\0")
    return f'"{escaped}"'


@pytest.mark.parametrize(
    "case",
    [
        "missing",
        "nul-after-existing-dir",
        "nul-alone",
        "empty",
        "longer-than-path-max-missing",
        "name-longer-than-name-max",
        "longer-than-path-max-existing",
    ],
)
def test_unusable_path_raises_panic_with_the_path(root, case):
    os.mkdir(os.path.join(root, "sub"))
    path = {
        "missing": os.path.join(root, "missing"),
        # Cut at the NUL, this would name a directory that exists: it must not be watched.
        "nul-after-existing-dir": os.path.join(root, "sub\0junk"),
        "nul-alone": "\0",
        "empty": "",
        "longer-than-path-max-missing": "/" + "a/" * 2100,
        "name-longer-than-name-max": os.path.join(root, "n" * 300),
    }.get(case)
    if case == "longer-than-path-max-existing":
        # The kernel refuses the whole path (ENAMETOOLONG); vestra names it in the error.
        path = deep_directory(root, 4096)
    with watching_child(path) as watcher:
        ending = watcher.finish(interrupt=False)
    assert ending == {
        "ended": "PanicException",
        "message": unwrap_message(shown(path)),
        "inotify": 0,
        "watcher_threads": [],
    }
    assert watcher.events == []


@pytest.mark.parametrize("text", ["\udcff", "\ud800x"], ids=["escaped-byte", "lone-surrogate"])
def test_path_with_surrogates_raises_unicode_encode_error(root, text):
    # The form os.fsdecode gives a name that is not UTF-8; the directory exists.
    os.mkdir(os.path.join(os.fsencode(root), b"\xff"))
    with watching_child(os.path.join(root, text)) as watcher:
        ending = watcher.finish(interrupt=False)
    assert ending == {
        "ended": "UnicodeEncodeError",
        "message": f"'utf-8' codec can't encode character {text[0]!r} in position "
        f"{len(root) + 1}: surrogates not allowed",
        "inotify": 0,
        "watcher_threads": [],
    }


def test_directory_beyond_path_max_inside_the_tree_is_reported_as_other(root):
    deep = deep_directory(root, 4300)
    with watching_child(root) as watcher:
        watcher.wait_live(os.path.join(root, ".probe"))
        # Somewhere down the chain the full path passes PATH_MAX and cannot be watched:
        # the callback is told to rescan there, and only there.
        parts = deep.split("/")
        prefixes = ["/".join(parts[:end]) for end in range(2, len(parts) + 1)]
        too_long = next(p for p in prefixes if len(os.fsencode(p)) >= 4096)
        others = [e["paths"] for e in watcher.events if e["kind"] == "Other"]
        assert others == [[too_long]], watcher.events
        write(os.path.join(root, "shallow"))
        watcher.expect([("Create(File)", os.path.join(root, "shallow"))])
        assert watcher.finish()["ended"] == "KeyboardInterrupt"


# ---------------------------------------------------------------------------------------
# Names


ODD_NAMES = [
    b"new\nline",
    b"carriage\rreturn",
    b'double"quote',
    b"single'quote",
    b"back\\slash",
    b"\\",
    b"tab\tand space",
    b" ",
    b"\x1b[31mescape",
    b"\x01\x7f",
    b"*?[glob]{x}",
    b"%s%n%x",
    b"-dash",
    b"..dots..",
    b"caf\xc3\xa9 \xe2\x80\x8b \xf0\x9f\x98\x80",  # valid UTF-8 (accent, zero width, emoji)
    b"\xff\xfe",
    b"truncated\xe2\x82",
    b"\xed\xa0\x80encoded-surrogate",
    b"\xc0\xafoverlong",
    b"\xf4\x90\x80\x80beyond-max",
    b"\x80lone-continuation",
    b"L" * 248,  # with the suffixes below, up to NAME_MAX
]


@pytest.fixture(scope="module")
def odd_watch(tmp_path_factory):
    """One child watches a tree for every name case, each case in its own directory."""
    root = os.path.realpath(tmp_path_factory.mktemp("odd-names"))
    with watching_child(root) as watcher:
        watcher.wait_live(os.path.join(root, ".probe"))
        yield root, watcher
        assert watcher.finish()["ended"] == "KeyboardInterrupt"


@pytest.mark.parametrize("name", ODD_NAMES, ids=lambda name: repr(name)[2:-1][:24])
def test_odd_name_is_reported_as_its_lossy_decoding(odd_watch, name):
    root, watcher = odd_watch
    case = os.path.join(root, f"case-{ODD_NAMES.index(name)}")
    os.mkdir(case)
    # Changes made in a new directory before its watch is in place and undone before its
    # scan leave no trace: wait for the watch first.
    watcher.expect([("Create(Folder)", case)])
    raw = os.path.join(os.fsencode(case), name)

    def reported(suffix=b""):
        return os.path.join(case, (name + suffix).decode("utf-8", "replace"))

    os.close(os.open(raw, os.O_CREAT | os.O_WRONLY, 0o644))
    os.rename(raw, raw + b"-moved")
    os.mkdir(raw + b".d")
    os.close(os.open(raw + b".d/" + name, os.O_CREAT | os.O_WRONLY, 0o644))
    os.unlink(raw + b"-moved")
    watcher.expect(
        [
            ("Create(File)", reported()),
            ("Modify(Name(Any))", reported()),
            ("Modify(Name(Any))", reported(b"-moved")),
            ("Create(Folder)", reported(b".d")),
            ("Create(File)", os.path.join(reported(b".d"), name.decode("utf-8", "replace"))),
            ("Remove(File)", reported(b"-moved")),
        ]
    )
    for event in events_under(watcher.events, case):
        assert all(type(path) is str for path in event["paths"])


# ---------------------------------------------------------------------------------------
# Symbolic links


def test_symbolic_links_are_not_followed(root, tmp_path_factory):
    outside = os.path.realpath(tmp_path_factory.mktemp("outside"))
    os.mkdir(os.path.join(root, "real"))
    links = {
        "loop-a": "loop-b",
        "loop-b": "loop-a",
        "self": ".",
        "up": "..",
        "slash": "/",
        "outside": outside,
        "dangling": "/nonexistent/vestra",
    }
    for name, target in links.items():
        os.symlink(target, os.path.join(root, name))
    with watching_child(root) as watcher:
        watcher.wait_live(os.path.join(root, ".probe"))
        # Watches: the root, real/ and .probe/ only, and those above the root; none
        # through a link.
        assert inotify_watch_count(watcher.child.process.pid) == 3 + ancestor_watches(root)
        write(os.path.join(outside, "not-reported"))
        write(os.path.join(root, "self", "through-self"))  # lands in the root itself
        os.symlink("loop-d", os.path.join(root, "real", "loop-c"))
        os.symlink("loop-c", os.path.join(root, "real", "loop-d"))
        os.symlink("/", os.path.join(root, "real", "slash"))
        os.unlink(os.path.join(root, "loop-a"))
        watcher.sync(os.path.join(root, "real", "sync"))
        seen = [(e["kind"], e["paths"][0]) for e in watcher.events]
        for expected in [
            ("Create(File)", os.path.join(root, "through-self")),
            ("Create(Other)", os.path.join(root, "real", "loop-c")),
            ("Create(Other)", os.path.join(root, "real", "loop-d")),
            ("Create(Other)", os.path.join(root, "real", "slash")),
            ("Remove(Other)", os.path.join(root, "loop-a")),
        ]:
            assert expected in seen, seen
        assert not [path for _, path in seen if not path.startswith(root + "/")], seen
        assert not [path for _, path in seen if "/self/" in path or "/slash/" in path], seen
        assert inotify_watch_count(watcher.child.process.pid) == 3 + ancestor_watches(root)
        assert watcher.finish()["ended"] == "KeyboardInterrupt"


# ---------------------------------------------------------------------------------------
# Permissions: run as an unprivileged user, since root passes every permission check.


@contextlib.contextmanager
def nobody_tree():
    """A tree owned by the unprivileged user, reachable by it; and the uid to watch as."""
    as_root = os.geteuid() == 0
    with scratch_dir("vestra-perm-") as base:
        os.chmod(base, 0o755)
        root = os.path.join(base, "tree")
        os.mkdir(root)
        if as_root:
            os.chown(root, NOBODY, NOBODY)
        yield root, (NOBODY if as_root else None)


def own(path, mode):
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)
    os.chmod(path, mode)


@pytest.mark.parametrize("mode", [0o000, 0o300, 0o100], ids=["none", "write-search", "search"])
def test_unreadable_subdirectory_is_skipped_and_the_rest_watched(mode):
    with nobody_tree() as (root, uid):
        for name in ("open", "locked", "probe"):
            os.mkdir(os.path.join(root, name))
            own(os.path.join(root, name), 0o777)
        os.mkdir(os.path.join(root, "locked", "below"))
        own(os.path.join(root, "locked", "below"), 0o777)
        os.chmod(os.path.join(root, "locked"), mode)
        with watching_child(root, drop_to=uid) as watcher:
            assert watcher.started == (uid if uid is not None else os.getuid())
            watcher.wait_live(os.path.join(root, "probe"))
            write(os.path.join(root, "open", "file"))
            write(os.path.join(root, "top-file"))
            watcher.expect(
                [
                    ("Create(File)", os.path.join(root, "open", "file")),
                    ("Create(File)", os.path.join(root, "top-file")),
                ]
            )
            # What is below it cannot be watched: an Other event says where.
            others = [e["paths"] for e in watcher.events if e["kind"] == "Other"]
            assert others == [[os.path.join(root, "locked")]], watcher.events
            assert watcher.finish()["ended"] == "KeyboardInterrupt"


def test_directory_made_readable_while_watched_is_watched_from_then():
    with nobody_tree() as (root, uid):
        locked = os.path.join(root, "locked")
        os.mkdir(locked)
        own(locked, 0o000)
        with watching_child(root, drop_to=uid) as watcher:
            watcher.wait_live(os.path.join(root, ".probe"))
            os.chmod(locked, 0o755)
            watcher.expect([("Modify(Metadata(Any))", locked)])
            # Readable now, it is watched from the moment its change of mode is read.
            write(os.path.join(locked, "after"))
            watcher.expect([("Create(File)", os.path.join(locked, "after"))])
            assert watcher.finish()["ended"] == "KeyboardInterrupt"


def test_unreadable_root_reports_other_and_is_watched_once_readable():
    with nobody_tree() as (root, uid):
        os.mkdir(os.path.join(root, "sub"))
        own(os.path.join(root, "sub"), 0o755)
        own(root, 0o000)
        with watching_child(root, drop_to=uid) as watcher:
            watcher.expect([("Other", root)])
            os.chmod(root, 0o755)
            watcher.expect([("Create(Folder)", root), ("Create(Folder)", os.path.join(root, "sub"))])
            write(os.path.join(root, "sub", "after"))
            watcher.expect([("Create(File)", os.path.join(root, "sub", "after"))])
            others = [e["paths"] for e in watcher.events if e["kind"] == "Other"]
            assert others == [[root]], watcher.events
            assert watcher.finish() == {
                "ended": "KeyboardInterrupt",
                "message": "",
                "inotify": 0,
                "watcher_threads": [],
            }


def test_root_made_unreadable_and_readable_again_stays_watched():
    with nobody_tree() as (root, uid):
        with watching_child(root, drop_to=uid) as watcher:
            watcher.wait_live(os.path.join(root, ".probe"))
            os.chmod(root, 0o000)
            watcher.expect([("Modify(Metadata(Any))", root)])
            os.chmod(root, 0o755)
            write(os.path.join(root, ".probe", "after"))
            watcher.expect([("Create(File)", os.path.join(root, ".probe", "after"))])
            assert not [e for e in watcher.events if e["kind"] == "Other"], watcher.events
            assert watcher.finish()["ended"] == "KeyboardInterrupt"


# ---------------------------------------------------------------------------------------
# The watched path itself goes away and comes back


def root_away_and_back(path, how, round_):
    """The steps that take the watched directory away as `how` says and bring it back, as
    (change, events it must bring) pairs; the paths in them are relative to `path`."""
    moved = f"{path}-moved-{round_}"

    def replace_with_file():
        shutil.rmtree(path)
        write(path, b"one")

    def append():
        with open(path, "ab") as handle:
            handle.write(b"two")

    def file_to_directory():
        os.unlink(path)
        os.mkdir(path)

    def move_away():
        os.rename(path, moved)
        # No longer under the watched path: nothing of it may be reported, at any depth.
        for directory, _, _ in os.walk(moved):
            write(os.path.join(directory, "in-moved-away"))

    steps = {
        "deleted": [
            (lambda: shutil.rmtree(path), [("Remove(Folder)", "")]),
            (lambda: os.mkdir(path), [("Create(Folder)", "")]),
        ],
        "moved-away": [
            (move_away, [("Modify(Name(From))", "")]),
            (lambda: os.mkdir(path), [("Create(Folder)", "")]),
        ],
        "replaced-by-a-file": [
            (replace_with_file, [("Remove(Folder)", ""), ("Create(File)", "")]),
            (append, [("Modify(Data(Content))", "")]),
            (file_to_directory, [("Remove(File)", ""), ("Create(Folder)", "")]),
        ],
        "parent-deleted": [
            (lambda: shutil.rmtree(os.path.dirname(path)), [("Remove(Folder)", "")]),
            (lambda: os.makedirs(path), [("Create(Folder)", "")]),
        ],
    }[how]
    return steps + [(lambda: write(os.path.join(path, "after")), [("Create(File)", "after")])]


@pytest.mark.parametrize("how", ["deleted", "moved-away", "replaced-by-a-file", "parent-deleted"])
def test_watched_root_goes_away_and_comes_back(root, how):
    watched = os.path.join(root, "parent", "watched")
    os.makedirs(os.path.join(watched, "sub"))
    with watching_child(watched) as watcher:
        watcher.wait_live(os.path.join(watched, ".probe"))
        for round_ in range(2):  # twice: the second return must be seen as well
            for change, expected in root_away_and_back(watched, how, round_):
                watcher.events.clear()
                change()
                watcher.expect([(kind, os.path.join(watched, p).rstrip("/")) for kind, p in expected])
            # The kernel holds a watch for each directory there now and each one above, and
            # none for the tree that went away.
            directories = sum(1 for _ in os.walk(watched))
            assert inotify_watch_count(watcher.child.process.pid) == directories + ancestor_watches(
                watched
            ), f"round {round_}"
        watcher.sync(os.path.join(watched, "sync"))
        assert watcher.finish()["ended"] == "KeyboardInterrupt"
    # Nothing from the directory once it had moved away, under its old path or its new one.
    paths = [path for e in watcher.events for path in e["paths"]]
    assert not [p for p in paths if "-moved-" in p or p.endswith("/in-moved-away")], watcher.events


@pytest.mark.parametrize("kind", ["file", "fifo", "socket"])
def test_watched_path_that_is_not_a_directory(root, kind):
    path = os.path.join(root, "item")
    holder = None
    if kind == "file":
        write(path)
    elif kind == "fifo":
        os.mkfifo(path)
    else:
        holder = socket.socket(socket.AF_UNIX)
        holder.bind(path)
    try:
        with watching_child(path) as watcher:
            # No probe can be made inside: touch the item itself until that shows.
            metadata = ("Modify(Metadata(Any))", path)
            for _ in range(100):
                os.utime(path)
                if watcher.poll(0.05, lambda events: metadata in events):
                    break
            expected = [metadata]
            if kind == "file":
                write(path, b"changed")
                expected.append(("Modify(Data(Content))", path))
            os.unlink(path)
            expected.append(("Remove(File)", path))
            watcher.expect(expected)
            assert watcher.finish()["ended"] == "KeyboardInterrupt"
    finally:
        if holder is not None:
            holder.close()


@pytest.mark.parametrize("target", ["file", "directory"])
def test_watched_symlink_is_resolved(root, target):
    # The watch is on what the link leads to, and its events carry that path.
    real = os.path.join(root, "real")
    if target == "file":
        write(real)
    else:
        os.mkdir(real)
    link = os.path.join(root, "link")
    os.symlink("real", link)
    changed = real if target == "file" else os.path.join(real, "new")
    with watching_child(link) as watcher:
        wanted = ("Create(File)", changed) if target == "directory" else ("Modify(Data(Content))", changed)
        for number in range(100):
            if target == "directory":
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(changed)
            write(changed, b"%d" % number)
            if watcher.poll(0.05, lambda events: wanted in events):
                break
        watcher.expect([wanted])
        assert not [e for e in watcher.events if any(p.startswith(link) for p in e["paths"])]
        assert watcher.finish()["ended"] == "KeyboardInterrupt"
