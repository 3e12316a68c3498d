"""vestra._native, the core under vestra.watch: what only its own interface shows (waits
interrupted by signals, readiness of its descriptor, leaks over many watches)."""

import errno
import os
import signal
import tempfile
import threading
import time

import pytest

from helpers import linux_only, run_python, time_limit
from vestra import _native


def native_watch(path, *, start=True, debounce=0.0, ignore=()):
    return _native.Watch([str(path)], [True], list(ignore), debounce, 1.0, False, start)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@linux_only
def test_a_thousand_watches_are_live_on_return_and_leave_nothing_behind(root):
    # Each one: a file made right after the constructor returns is in its first batch. A
    # quiet window (1 ms) makes each watch start and end its timer thread too.
    def one(i):
        watch = native_watch(root, debounce=0.001)
        created = os.path.join(root, f"f{i}")
        open(created, "w").close()
        batch = watch.read(5.0)
        watch.close()
        assert batch and batch[0][:2] == ("Create(File)", created), (i, batch)

    one(0)
    fds, tasks = open_fds(), threads()
    for i in range(1, 100):
        one(i)
    sampled = resident_bytes()
    for i in range(100, 1000):
        one(i)
    assert (open_fds(), threads()) == (fds, tasks)
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert resident_bytes() - sampled < 256 << 10


def test_ctrl_c_ends_a_blocked_read_at_once(root):
    watch = native_watch(root)
    stop = threading.Event()

    def interrupt():  # until the reader has taken it
        while not stop.wait(0.05):
            os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=interrupt)
    sender.start()
    try:
        with time_limit(10), pytest.raises(KeyboardInterrupt):
            watch.read()
    finally:
        stop.set()
        sender.join()
        watch.close()


@pytest.mark.parametrize("timeout", [None, 30.0])
def test_close_from_another_thread_wakes_a_blocked_read(root, timeout):
    watch = native_watch(root, debounce=10.0)
    closer = threading.Timer(0.1, watch.close)
    closer.start()
    with time_limit(10):
        assert watch.read(timeout) is None
    closer.join()
    assert watch.closed and watch.read_ready() is None


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


@pytest.mark.parametrize(
    "paths, error, errno_name",
    [(["/no/such/dir"], FileNotFoundError, "ENOENT"), ([], OSError, "EINVAL")],
    ids=["missing", "none"],
)
def test_bad_paths_raise_oserror_and_print_nothing(paths, error, errno_name, capfd):
    with pytest.raises(error) as caught:
        _native.Watch(paths, [True] * len(paths), [], 0.0, 1.0, False, True)
    assert caught.value.errno == getattr(errno, errno_name)
    assert caught.value.filename == (paths[0] if paths else "")
    assert capfd.readouterr() == ("", "")


def test_ignored_directories_take_no_watch_and_report_nothing(root):
    os.makedirs(os.path.join(root, "node_modules/a/b"))
    os.makedirs(os.path.join(root, "src"))
    unfiltered = native_watch(root)
    everything = unfiltered.watch_count
    unfiltered.close()
    watch = native_watch(root, ignore=["node_modules"])
    assert watch.watch_count == everything - 3
    # Made after the set-up: no watch either, and none of it is reported.
    os.makedirs(os.path.join(root, "src/node_modules/x"))
    open(os.path.join(root, "node_modules/a/f"), "w").close()
    done = os.path.join(root, "src/done")
    open(done, "w").close()
    seen = []
    with time_limit(10):
        while done not in seen:
            seen += [event[1] for event in watch.read(5.0)]
    assert seen == [done]
    assert watch.watch_count == everything - 3
    watch.close()


def exchange(a, b):
    """renameat2(a, b, RENAME_EXCHANGE), which os does not offer."""
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange):
        raise OSError(ctypes.get_errno(), "renameat2", a)


@linux_only
@pytest.mark.parametrize("make", [os.mkdir, lambda p: open(p, "w").close()], ids=["dirs", "files"])
def test_exchange_is_one_event_and_renames_are_paired(root, make):
    a, b, c = (os.path.join(root, name) for name in "abc")
    make(a)
    make(b)
    is_dir = 1 if make is os.mkdir else 0
    watch = native_watch(root)
    exchange(a, b)
    os.rename(a, c)
    events = []
    with time_limit(10):
        while len(events) < 2:
            events += watch.read(5.0)
    assert events == [
        ("Modify(Name(Other))", b, a, is_dir),
        ("Modify(Name(Both))", c, a, is_dir),
    ]
    watch.close()


@linux_only
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
def test_a_forked_child_sees_the_watch_closed_and_leaves_the_parents_alone(root):
    watch = native_watch(root)
    pid = os.fork()
    if pid == 0:  # the child: no threads of the watch here
        code = 0 if (watch.closed, watch.read(), watch.read_ready()) == (True, None, None) else 1
        watch.close()
        del watch
        os._exit(code)
    try:
        with time_limit(10):
            _, status = os.waitpid(pid, 0)
    except BaseException:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise
    assert os.waitstatus_to_exitcode(status) == 0
    assert not watch.closed and watch.read_ready() == -1.0
    created = os.path.join(root, "after-fork")
    open(created, "w").close()
    with time_limit(10):
        assert [event[1] for event in watch.read(5.0)] == [created]
    watch.close()


@linux_only
@pytest.mark.skipif(os.geteuid() != 0, reason="drops to another user, which needs root")
def test_an_unreadable_root_is_a_permission_error():
    with tempfile.TemporaryDirectory() as top:
        os.chmod(top, 0o755)
        readable, locked = os.path.join(top, "readable"), os.path.join(top, "locked")
        os.mkdir(readable, 0o755)
        os.mkdir(locked, 0o700)
        child = run_python(
            f"""
            import os
            os.setgid(65534)
            os.setuid(65534)
            from vestra import _native
            _native.Watch([{readable!r}], [True], [], 0.0, 1.0, False, True).close()
            try:
                _native.Watch([{locked!r}], [True], [], 0.0, 1.0, False, True)
            except PermissionError as error:
                print(error.errno, error.filename)
            """
        )
    assert (child.stdout, child.stderr) == (f"13 {locked}\n", "")
