"""vestra.watch: a watch that is live when it returns, stops at once from anywhere, and hands
over typed, filtered batches to a reader, an iterator or an asyncio task."""

import asyncio
import contextlib
import ctypes
import errno
import itertools
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from helpers import UNCHECKED_ENV, linux_only, run_python
from workloads import (
    HERE,
    Child,
    ancestor_watches,
    files_for_watch_budget,
    inotify_watch_count,
    scratch_dir,
    touch,
)

from vestra.watch import (
    Event,
    Kind,
    Watch,
    WatchError,
    WatchNotADirectoryError,
    WatchNotFoundError,
    WatchPermissionError,
)

pytestmark = linux_only

# No single wait in these tests may take longer; every one ends well before it normally.
LIMIT = 10.0
NOBODY = 65534
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
markers = itertools.count()


def until_marker(watch, root):
    """Creates a marker in `root` and reads until its event: returns every event before it.
    inotify keeps order, so all that happened before the marker has been read by then."""
    marker = os.path.join(root, f".marker-{next(markers)}")
    touch(marker)
    seen = []
    deadline = time.monotonic() + LIMIT
    while True:
        batch = watch.read(timeout=max(0.0, deadline - time.monotonic()))
        assert batch, f"no marker within {LIMIT} s (closed: {batch is None}); saw {seen}"
        for event in batch:
            if event.path == marker:
                return seen
            seen.append(event)


def changes(root, action, **options):
    """The events of `action()` on `root`, as (kind, paths, is_dir) triples."""
    with Watch(root, debounce=0, **options) as watch:
        action()
        return [(e.kind, e.paths, e.is_dir) for e in until_marker(watch, root)]


def in_child(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter that can import the test helpers."""
    code = f"import sys; sys.path.insert(0, {HERE!r})\n" + textwrap.dedent(code)
    return run_python(code, timeout=timeout, env=env)


# ---------------------------------------------------------------------------------------
# Live on return, and leak-free


def test_every_watch_is_live_when_it_returns_and_leaves_nothing_behind():
    # A file made right after the constructor returns is in the first batch, 1,000 times in
    # a row; the thousand watches leave descriptors, threads and memory as they were.
    result = in_child(
        """
        import gc, json, os, tempfile, time
        from vestra.watch import Watch
        from workloads import open_descriptors, resident_bytes, thread_count, watcher_threads

        root = os.path.realpath(tempfile.mkdtemp())
        def one(number):
            with Watch(root, debounce=0) as watch:
                path = os.path.join(root, f"f{number}")
                open(path, "w").close()
                batch = watch.read(timeout=10)
                os.unlink(path)
                return bool(batch) and batch[0].path == path
        one(-1)
        gc.collect()
        before = open_descriptors(), thread_count(), resident_bytes()
        seen = [one(number) for number in range(1000)]
        gc.collect()
        deadline = time.monotonic() + 1  # a joined thread can linger in /proc a moment
        while thread_count() > before[1] and time.monotonic() < deadline:
            time.sleep(0.01)
        after = open_descriptors(), thread_count(), resident_bytes()
        print(json.dumps(dict(seen=sum(seen), before=before, after=after,
                              left=watcher_threads(settle=1.0))))
        """
    )
    assert result.returncode == 0 and result.stderr == "", result
    found = json.loads(result.stdout)
    assert found["seen"] == 1000, found
    assert found["after"][:2] == found["before"][:2] and found["left"] == [], found
    if not UNDER_ASAN:  # whose quarantine holds freed memory for a while
        assert found["after"][2] - found["before"][2] < 8 << 20, found


def test_with_start_false_nothing_is_watched_until_start(root):
    watch = Watch(root, debounce=0, start=False)
    with watch:
        touch(os.path.join(root, "early"))
        assert watch.watch_count == 0
        watch.start()
        assert watch.watch_count >= 1
        assert until_marker(watch, root) == []
        late = os.path.join(root, "late")
        touch(late)
        assert [e.path for e in until_marker(watch, root)] == [late]


# ---------------------------------------------------------------------------------------
# Stopping


def close_soon(watch, *, when=lambda: True):
    """Closes `watch` from another thread once `when()` holds; returns the thread."""

    def run():
        deadline = time.monotonic() + LIMIT
        while not when() and time.monotonic() < deadline:
            time.sleep(0.001)
        time.sleep(0.05)  # let the reader block first
        watch.close()

    thread = threading.Thread(target=run)
    thread.start()
    return thread


READS = {
    "read": lambda watch: watch.read(),
    "read with timeout": lambda watch: watch.read(timeout=60),
    "read with no end of time": lambda watch: watch.read(timeout=float("inf")),
    "iterator": lambda watch: list(watch) or None,
}


@pytest.mark.parametrize("reads", READS.values(), ids=READS.keys())
def test_close_from_another_thread_wakes_a_blocked_reader_at_once(root, reads):
    with Watch(root) as watch:
        closer = close_soon(watch)
        started = time.monotonic()
        assert reads(watch) is None
        waited = time.monotonic() - started
        closer.join(LIMIT)
        assert watch.closed
        assert waited < LIMIT / 2, f"the reader returned {waited:.3f} s after it began"


def test_close_is_idempotent_and_works_from_a_signal_handler_and_a_predicate(root):
    with Watch(root) as watch:
        previous = signal.signal(signal.SIGALRM, lambda *_: watch.close())
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            assert watch.read(timeout=LIMIT) is None
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        watch.close()
        assert watch.closed and watch.read() is None and list(watch) == []

    def stop_at_first(path):
        watch.close()
        return False

    watch = Watch(root, debounce=0, ignore_if=stop_at_first)
    touch(os.path.join(root, "wake"))
    with watch:
        batch = watch.read(timeout=LIMIT)
        assert [e.path for e in batch or []] == [os.path.join(root, "wake")]
        assert watch.read(timeout=LIMIT) is None


def test_close_during_the_set_up_of_a_large_tree_stops_it(tmp_path):
    root = os.path.realpath(tmp_path)
    for top in range(40):
        for low in range(50):
            os.makedirs(os.path.join(root, f"d{top}", f"e{low}"))
    watch = Watch(root, start=False)
    closer = close_soon(watch, when=lambda: watch.watch_count > 0)
    watch.start()  # returns once closed, the walk left unfinished or not
    closer.join(LIMIT)
    assert watch.closed and watch.read() is None


def interrupt_when(ready):
    """Ctrl-C, sent to this process once `ready()`."""
    while not ready():
        time.sleep(0.001)
    os.kill(os.getpid(), signal.SIGINT)


CTRL_C_CASES = {
    "a blocked read": (
        "with Watch(tempfile.mkdtemp()) as watch:\n"
        "    interrupting(lambda: time.sleep(0.1) or True)\n"
        "    watch.read()\n"
    ),
    # Once the walk of 10,000 directories has begun: it ends there, not after the walk.
    "the set-up walk": (
        "root = tempfile.mkdtemp()\n"
        "for n in range(10000):\n"
        "    os.makedirs(os.path.join(root, str(n // 100), str(n)))\n"
        "watch = Watch(root, start=False)\n"
        "interrupting(lambda: watch.watch_count > 0)\n"
        "try:\n"
        "    watch.start()\n"
        "finally:\n"
        "    assert watch.closed and watch.watch_count < 5000, watch.watch_count\n"
    ),
}


@pytest.mark.parametrize("code", CTRL_C_CASES.values(), ids=CTRL_C_CASES.keys())
def test_ctrl_c_interrupts_a_blocked_call_at_once(code):
    result = in_child(
        "import os, tempfile, threading, time\n"
        "from test_watch import interrupt_when\n"
        "from vestra.watch import Watch\n"
        "def interrupting(ready):\n"
        "    threading.Thread(target=interrupt_when, args=(ready,)).start()\n"
        "try:\n" + textwrap.indent(code, "    ") + "except KeyboardInterrupt:\n"
        "    print('interrupted')\n",
        timeout=LIMIT,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "interrupted\n", "")


# ---------------------------------------------------------------------------------------
# asyncio


async def first_batch_then(root, leave, **options):
    """Reads batches with `async for` until a file's creation shows; then `leave`s."""
    watch = Watch(root, **options)
    path = os.path.join(root, "async")
    touch(path)
    async for batch in watch:
        assert [e.path for e in batch] == [path]
        if leave == "break":
            break
    return watch


async def cancelled(root):
    watch = Watch(root)

    async def read_all():
        async for _ in watch:
            pass

    task = asyncio.create_task(read_all())
    await asyncio.sleep(0.05)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    return watch


async def closed_by_another_thread(root):
    watch = Watch(root)
    closer = close_soon(watch)
    batches = [batch async for batch in watch]
    closer.join(LIMIT)
    assert batches == []
    return watch


ASYNC_CASES = {
    "break": lambda root: first_batch_then(root, "break", debounce=0),
    "break after a debounced batch": lambda root: first_batch_then(root, "break", debounce=0.2),
    "cancel": cancelled,
    "closed from a thread": closed_by_another_thread,
}


@pytest.mark.parametrize("case", ASYNC_CASES.values(), ids=ASYNC_CASES.keys())
def test_async_iteration_ends_by_closing_the_watch_and_asyncio_run_returns(root, case):
    async def main():
        return await asyncio.wait_for(case(root), LIMIT)

    watch = asyncio.run(main())
    assert watch.closed


# ---------------------------------------------------------------------------------------
# Typed events

libc = ctypes.CDLL(None, use_errno=True)


def exchange(first, second):
    if libc.renameat2(-100, os.fsencode(first), -100, os.fsencode(second), 2):
        raise OSError(ctypes.get_errno(), "renameat2", first)


def append(path):
    with open(path, "a") as file:
        file.write("more")


CHANGES = [
    # (name, action on (root, outside), expected (kind, paths, is_dir) with "R" for root, "O"
    # for the directory outside the tree)
    ("create file", lambda r, o: touch(f"{r}/new"), [(Kind.CREATED, ("R/new",), False)]),
    ("mkdir", lambda r, o: os.mkdir(f"{r}/new"), [(Kind.CREATED, ("R/new",), True)]),
    ("write", lambda r, o: append(f"{r}/file"), [(Kind.WRITTEN, ("R/file",), None)]),
    ("chmod", lambda r, o: os.chmod(f"{r}/file", 0o600), [(Kind.METADATA, ("R/file",), None)]),
    ("remove", lambda r, o: os.unlink(f"{r}/file"), [(Kind.REMOVED, ("R/file",), False)]),
    ("rmdir", lambda r, o: os.rmdir(f"{r}/sub"), [(Kind.REMOVED, ("R/sub",), True)]),
    (
        "rename",
        lambda r, o: os.rename(f"{r}/file", f"{r}/sub/moved"),
        [(Kind.RENAMED, ("R/file", "R/sub/moved"), False)],
    ),
    (
        "rename a directory",
        lambda r, o: os.rename(f"{r}/sub", f"{r}/renamed"),
        [(Kind.RENAMED, ("R/sub", "R/renamed"), True)],
    ),
    (
        "move in",
        lambda r, o: os.rename(f"{o}/away", f"{r}/in"),
        [(Kind.MOVED_IN, ("R/in",), False)],
    ),
    (
        "move out",
        lambda r, o: os.rename(f"{r}/file", f"{o}/out"),
        [(Kind.MOVED_OUT, ("R/file",), False)],
    ),
    (
        "exchange files",
        lambda r, o: exchange(f"{r}/file", f"{r}/other"),
        [(Kind.EXCHANGED, ("R/file", "R/other"), False)],
    ),
    (
        "exchange directories",
        lambda r, o: exchange(f"{r}/sub", f"{r}/dir"),
        [(Kind.EXCHANGED, ("R/sub", "R/dir"), True)],
    ),
    (
        "exchange a file and a directory",
        lambda r, o: exchange(f"{r}/file", f"{r}/dir"),
        [(Kind.EXCHANGED, ("R/file", "R/dir"), False)],
    ),
]


@pytest.mark.parametrize("action, expected", [c[1:] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_each_change_arrives_as_one_typed_event(tmp_path, action, expected):
    base = os.path.realpath(tmp_path)
    root, outside = os.path.join(base, "tree"), os.path.join(base, "outside")
    os.makedirs(os.path.join(root, "sub"))
    os.mkdir(os.path.join(root, "dir"))
    os.mkdir(outside)
    touch(os.path.join(root, "file"))
    touch(os.path.join(root, "other"))
    touch(os.path.join(outside, "away"))
    seen = changes(root, lambda: action(root, outside))
    named = {"R": root, "O": outside}
    want = [(k, tuple(named[p[0]] + p[1:] for p in paths), d) for k, paths, d in expected]
    # is_dir is compared where the expectation knows it.
    known = [(k, p, d if w is not None else None) for (k, p, d), (_, _, w) in zip(seen, want)]
    assert (len(seen), known) == (len(want), want), seen


def test_every_kind_text_maps_to_one_member():
    texts = {
        "Create(File)": Kind.CREATED,
        "Create(Folder)": Kind.CREATED,
        "Create(Other)": Kind.CREATED,
        "Create(Any)": Kind.CREATED,
        "Remove(File)": Kind.REMOVED,
        "Remove(Folder)": Kind.REMOVED,
        "Remove(Other)": Kind.REMOVED,
        "Remove(Any)": Kind.REMOVED,
        "Modify(Data(Content))": Kind.WRITTEN,
        "Modify(Data(Size))": Kind.WRITTEN,
        "Modify(Data(Any))": Kind.WRITTEN,
        "Modify(Metadata(Any))": Kind.METADATA,
        "Modify(Metadata(Permissions))": Kind.METADATA,
        "Modify(Name(Both))": Kind.RENAMED,
        "Modify(Name(To))": Kind.MOVED_IN,
        "Modify(Name(From))": Kind.MOVED_OUT,
        "Modify(Name(Other))": Kind.EXCHANGED,
        "Other": Kind.RESCAN,
        "Modify(Name(Any))": Kind.OTHER,
        "Modify(Any)": Kind.OTHER,
        "Modify(Other)": Kind.OTHER,
        "Access(Close(Write))": Kind.OTHER,
        "Any": Kind.OTHER,
        "": Kind.OTHER,
    }
    assert {text: Kind.of_text(text) for text in texts} == texts
    assert set(texts.values()) == set(Kind)


def test_an_event_is_immutable_and_names_its_paths():
    event = Event(Kind.RENAMED, "/t/new", "/t/old", False, "Modify(Name(Both))")
    assert event.paths == ("/t/old", "/t/new")
    assert Event(Kind.CREATED, "/t/a", None, None, "Create(Any)").paths == ("/t/a",)
    with pytest.raises(AttributeError):
        event.path = "/t/other"


# ---------------------------------------------------------------------------------------
# Filters


def make_project(root, modules=300):
    """A project with a node_modules of `modules` directories and other usual junk."""
    for number in range(modules):
        os.makedirs(os.path.join(root, "node_modules", f"pkg{number}"))
    for directory in (".git/objects", "src", "docs/_build", "build", "__pycache__"):
        os.makedirs(os.path.join(root, directory))


def test_ignored_directories_take_no_kernel_watch(root):
    make_project(root)
    counts = {}
    for default_ignore in (True, False):
        with Watch(root, default_ignore=default_ignore, ignore=["docs/_build"]):
            counts[default_ignore] = inotify_watch_count() - ancestor_watches(root)
    # Watched with the defaults: root, src, docs, build.
    assert counts == {True: 4, False: 4 + 301 + 2 + 1}


FILTERED = [
    # (options, made (relative to the root), reported)
    ({}, ["node_modules/pkg1/index.js", ".git/objects/ab", "src/a.py", "src/a.py~"], ["src/a.py"]),
    ({"default_ignore": False}, ["__pycache__/m.pyc", "src/.#a"], ["__pycache__/m.pyc", "src/.#a"]),
    ({"ignore": ["*.o"]}, ["build/a.o", "build/a.c", "src/b.o"], ["build/a.c"]),
    ({"ignore": ["build/*.o"]}, ["build/a.o", "src/b.o"], ["src/b.o"]),
    ({"ignore": ["docs/_build"]}, ["docs/_build/index.html", "docs/index.rst"], ["docs/index.rst"]),
    ({"ignore_if": lambda path: path.endswith(".log")}, ["src/x.log", "src/x.py"], ["src/x.py"]),
]


@pytest.mark.parametrize("options, made, reported", FILTERED)
def test_filters_keep_the_events_of_ignored_paths_away(root, options, made, reported):
    make_project(root, modules=2)
    seen = changes(root, lambda: [touch(os.path.join(root, path)) for path in made], **options)
    assert [paths for _, paths, _ in seen] == [(os.path.join(root, p),) for p in reported]


@pytest.mark.parametrize(
    "rule",
    [{"ignore_if": lambda path: "tmp" in path.split("/")[-2:]}, {"ignore": ["tmp"]}],
    ids=["predicate", "pattern"],
)
def test_a_rename_or_exchange_with_one_side_ignored_becomes_moves(root, rule):
    os.mkdir(os.path.join(root, "tmp"))
    touch(os.path.join(root, "kept"))
    touch(os.path.join(root, "tmp", "draft"))

    touch(os.path.join(root, "swapped"))
    touch(os.path.join(root, "tmp", "other"))

    def actions():
        os.rename(f"{root}/kept", f"{root}/tmp/kept")
        os.rename(f"{root}/tmp/draft", f"{root}/draft")
        exchange(f"{root}/swapped", f"{root}/tmp/other")

    seen = changes(root, actions, **rule)
    assert seen == [
        (Kind.MOVED_OUT, (f"{root}/kept",), False),
        (Kind.MOVED_IN, (f"{root}/draft",), False),
        (Kind.MOVED_OUT, (f"{root}/swapped",), False),
        (Kind.MOVED_IN, (f"{root}/swapped",), False),
    ]


# ---------------------------------------------------------------------------------------
# Errors


@pytest.mark.parametrize(
    "path, error, code",
    [
        ("missing", WatchNotFoundError, errno.ENOENT),
        ("file/below", WatchNotADirectoryError, errno.ENOTDIR),
    ],
)
def test_a_path_that_cannot_be_watched_raises_an_os_error(tmp_path, monkeypatch, path, error, code):
    monkeypatch.chdir(tmp_path)
    touch("file")
    with pytest.raises(error) as raised:
        Watch(path)
    assert isinstance(raised.value, WatchError) and isinstance(raised.value, OSError)
    assert (raised.value.errno, raised.value.filename) == (code, path)
    assert raised.value.__cause__ is None and raised.value.__suppress_context__


def test_an_unreadable_root_raises_permission_error(tmp_path):
    os.chmod(tmp_path, 0o755)
    locked = os.path.join(tmp_path, "locked")
    os.mkdir(locked, 0o000)
    result = in_child(
        f"""
        import os
        from vestra.watch import WatchError, WatchPermissionError
        if os.geteuid() == 0:
            os.setgroups([]); os.setgid({NOBODY}); os.setuid({NOBODY})
        try:
            from vestra.watch import Watch
            Watch({locked!r})
        except WatchPermissionError as error:
            assert isinstance(error, PermissionError) and isinstance(error, WatchError)
            print(error.errno, error.filename)
        """,
        env=UNCHECKED_ENV,
    )
    assert (result.stdout, result.stderr) == (f"{errno.EACCES} {locked}\n", "")


# A uid of its own: the per-user inotify limits it fills are nobody else's.
LIMITED_UID = 61917


@contextlib.contextmanager
def instances_used_up():
    """Yields what the watching child runs first: here, it takes every instance itself."""
    yield "while libc.inotify_init1(os.O_CLOEXEC) >= 0: pass"


@contextlib.contextmanager
def watches_used_up():
    """Another process holds all of LIMITED_UID's watches but one meanwhile."""
    with scratch_dir("vestra-budget-") as files:
        os.chmod(files, 0o755)
        files_for_watch_budget(files)
        filler = Child("fill-watches", files, 1, LIMITED_UID)  # 1 left: too few
        try:
            assert "held" in json.loads(filler.line(60) or "{}"), filler.describe()
            yield "pass"
        finally:
            filler.process.stdin.close()
            filler.finish(10)


@pytest.mark.parametrize(
    "used_up, code, sysctl",
    [
        (instances_used_up, "EMFILE", "fs.inotify.max_user_instances"),
        (watches_used_up, "ENOSPC", "fs.inotify.max_user_watches"),
    ],
    ids=["instances", "watches"],
)
def test_an_inotify_limit_raises_its_errno_naming_the_sysctl(used_up, code, sysctl):
    with scratch_dir("vestra-limit-") as root, used_up() as use_up:
        os.chmod(root, 0o755)
        os.mkdir(os.path.join(root, "sub"))
        result = in_child(
            f"""
            import ctypes, errno, os
            from vestra.watch import Watch, WatchError
            os.setgroups([]); os.setgid({LIMITED_UID}); os.setuid({LIMITED_UID})
            libc = ctypes.CDLL(None, use_errno=True)
            {use_up}
            try:
                Watch({root!r})
            except WatchError as error:
                print(errno.errorcode[error.errno], error.filename == {root!r})
                print(error.strerror)
            """,
            env=UNCHECKED_ENV,
        )
    found, _, message = result.stdout.partition("\n")
    assert (found, result.stderr) == (f"{code} True", ""), result
    assert sysctl in message, message


@pytest.mark.unsanitized
def test_the_descriptor_limit_raises_emfile_wherever_it_is_hit():
    # With 0 to 7 descriptors left, the set-up runs short at each of its descriptors in turn.
    result = in_child(
        """
        import errno, os, resource, tempfile
        from vestra.watch import Watch, WatchError
        root = tempfile.mkdtemp()
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        for spare in range(8):
            held = []
            try:
                while True:
                    held.append(os.open("/dev/null", os.O_RDONLY))
            except OSError:
                pass
            for _ in range(spare):
                os.close(held.pop())
            try:
                Watch(root).close()
                print("ok")
            except WatchError as error:
                print(errno.errorcode[error.errno], "ulimit -n" in error.strerror or error.strerror)
            for fd in held:
                os.close(fd)
        """
    )
    assert result.returncode == 0 and result.stderr == "", result
    outcomes = result.stdout.split("\n")[:-1]
    assert set(outcomes) <= {"ok", "EMFILE True"} and outcomes[-1] == "ok", outcomes


@pytest.mark.parametrize(
    "arguments, error",
    [
        ((42,), TypeError),
        ((b"/tmp",), TypeError),
        ((None,), TypeError),
        ((["/tmp"],), TypeError),
        ((), TypeError),
    ],
    ids=["int", "bytes", "None", "list", "no path"],
)
def test_an_argument_that_is_not_a_path_raises_type_error(arguments, error):
    with pytest.raises(error):
        Watch(*arguments)


@pytest.mark.parametrize(
    "options, error",
    [
        ({"ignore": "*.o"}, TypeError),
        ({"ignore": [1]}, TypeError),
        ({"ignore_if": "yes"}, TypeError),
        ({"debounce": -1}, ValueError),
        ({"max_delay": float("nan")}, ValueError),
        ({"debounce": "50ms"}, TypeError),
        ({"poll_interval": 0}, ValueError),
        ({"poll": "yes"}, TypeError),
    ],
)
def test_bad_options_are_refused(root, options, error):
    with pytest.raises(error):
        Watch(root, **options)


@pytest.mark.parametrize("recursive", [True, False])
def test_several_paths_each_watched_as_deep_as_asked(tmp_path, recursive):
    base = os.path.realpath(tmp_path)
    first, second = os.path.join(base, "first"), os.path.join(base, "second")
    for top in (first, second):
        os.makedirs(os.path.join(top, "sub"))
    made = [f"{top}/{name}" for top in (first, second) for name in ("top", "sub/deep")]
    with Watch(first, second, recursive=recursive, debounce=0) as watch:
        assert sorted(row[0] for row in watch.coverage()) == [first, second]
        for path in made:
            touch(path)
        seen = until_marker(watch, first)
    expected = made if recursive else [p for p in made if "/sub/" not in p]
    assert [e.path for e in seen] == expected


def test_a_path_like_is_watched_as_its_path(root):
    with Watch(pathlib.Path(root), debounce=0) as watch:
        touch(os.path.join(root, "p"))
        assert [e.path for e in until_marker(watch, root)] == [os.path.join(root, "p")]


# ---------------------------------------------------------------------------------------
# Threads, exit and fork

EXIT_PROGRAM = """
import os, sys, threading, time
from vestra.watch import Watch

case, root = sys.argv[1], sys.argv[2]
watch = Watch(root, debounce=0)
reading = threading.Event()

def read():
    reading.set()
    while watch.read() is not None:
        pass

thread = threading.Thread(target=read, daemon=(case == "daemon"))
thread.start()
reading.wait(10)
if case == "fork":
    pid = os.fork()
    if pid == 0:
        # Inherited without its threads: closed here, the parent's watch untouched.
        if not watch.closed or watch.read() is not None:
            os._exit(8)
        watch.close()
        with Watch(root, debounce=0) as own:
            open(os.path.join(root, "child"), "w").close()
            batch = own.read(timeout=10)
        os._exit(0 if batch and batch[0].path.endswith("child") else 9)
    assert os.waitpid(pid, 0)[1] == 0
    watch.close()
    thread.join(10)
    sys.exit(5)
if case == "closed":
    watch.close()
    thread.join(10)
sys.exit(3)
"""


@pytest.mark.parametrize("case, status", [("daemon", 3), ("closed", 3), ("fork", 5)])
def test_a_program_that_reads_in_a_thread_exits_as_it_chose(tmp_path, case, status):
    result = subprocess.run(
        # -W: the warning that fork() in a process with threads may deadlock is for others.
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", EXIT_PROGRAM, case, tmp_path],
        capture_output=True,
        text=True,
        timeout=60,
        env=UNCHECKED_ENV,
    )
    assert (result.returncode, result.stderr) == (status, "")
