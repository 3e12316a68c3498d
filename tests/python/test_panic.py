"""PanicException: how fatal errors reach Python, and how they come back from it."""

import pytest

import vestra
import workloads
from helpers import run_python, unwrap_message

PANIC_DOC = (
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def never_called(event):
    raise AssertionError(f"callback called with {event!r}")


def test_panic_exception_type(panic_exception_type):
    assert panic_exception_type.__name__ == "PanicException"
    assert panic_exception_type.__qualname__ == "PanicException"
    assert panic_exception_type.__module__ == "zemrin_runtime"
    assert panic_exception_type.__bases__ == (BaseException,)
    assert not issubclass(panic_exception_type, Exception)
    assert panic_exception_type.__doc__ == PANIC_DOC
    assert len(panic_exception_type.__doc__) == 235


@pytest.mark.parametrize(
    ("path", "shown"),
    [
        ("/nonexistent/vestra", '"/nonexistent/vestra"'),
        ("relative/missing", '"relative/missing"'),
        ("/nonexistent/with \"quote\" and 'apostrophe'", r'"/nonexistent/with \"quote\" and \'apostrophe\'"'),
        ("/nonexistent/tab\there", r'"/nonexistent/tab\there"'),
        ("/nonexistent/ünïcödé", '"/nonexistent/ünïcödé"'),
    ],
)
def test_missing_path_raises_panic_exception_with_the_error_text(
    path, shown, panic_exception_type
):
    # Every failure raises the one type.
    with pytest.raises(BaseException) as caught:
        vestra.rswatcher(path, never_called)
    error = caught.value
    assert type(error) is panic_exception_type
    assert str(error) == unwrap_message(shown)
    assert error.args == (unwrap_message(shown),)


def test_failed_watch_writes_a_fatal_error_report():
    result = run_python(
        """
        import vestra
        try:
            vestra.rswatcher("/nonexistent/report", print)
        except BaseException as error:
            print(type(error).__name__, flush=True)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException\n"
    assert unwrap_message('"/nonexistent/report"') in result.stderr.splitlines()


# A child that watches ROOT with a callback raising a PanicException made by RAISED while a
# thread makes files, then prints what rswatcher raised and the inotify descriptors left.
RESUMING_CHILD = """
import os, sys, threading
import vestra
sys.path.insert(0, {here!r})
from workloads import inotify_instances

try:
    vestra.rswatcher("/nonexistent/type", print)
except BaseException as error:
    PanicException = type(error)

class NoText:
    def __str__(self):
        raise ValueError("no text")

original = {raised}

def callback(event):
    raise original

done = threading.Event()

def touch():
    number = 0
    while not done.wait(0.05):  # ended before exit: nothing of it left to leak
        open(os.path.join({root!r}, f"file-{{number}}"), "w").close()
        number += 1

toucher = threading.Thread(target=touch)
toucher.start()
try:
    vestra.rswatcher({root!r}, callback)
except BaseException as error:
    print(type(error) is PanicException, error is original, error.args, flush=True)
done.set()
toucher.join()
print("inotify descriptors left:", len(inotify_instances()), flush=True)
"""


@pytest.mark.parametrize(
    ("raised", "args"),
    [
        ('PanicException("raised by the callback")', "('raised by the callback',)"),
        # Without text, the stock message stands in.
        ("PanicException(NoText())", "('Unwrapped panic from Python code',)"),
    ],
    ids=["with-text", "without-text"],
)
def test_callback_raising_panic_exception_is_resumed(root, raised, args):
    # A PanicException coming back from Python is shown under a banner with its traceback,
    # and the caller gets a new PanicException with the same message.
    result = run_python(RESUMING_CHILD.format(raised=raised, root=root, here=workloads.HERE))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"True False {args}\ninotify descriptors left: 0\n"
    lines = result.stderr.splitlines()
    banner = "--- Zemrin is resuming a panic after fetching a PanicException from Python. ---"
    assert banner in lines
    after = lines[lines.index(banner) + 1 :]
    assert after[0] == "Python stack trace below:"
    assert after[1] == "Traceback (most recent call last):"
    assert "in callback" in "\n".join(after)
    if raised.endswith('callback")'):
        assert "zemrin_runtime.PanicException: raised by the callback" in after
