"""Argument placement and conversion of rswatcher, with their exact TypeError texts."""

import pathlib

import pytest

import vestra

MISSING = "/nonexistent/vestra-arguments"


def f(event):
    pass


class Text(str):
    """A str subclass: accepted as a path, its text copied."""


# Every call is rejected before any watch starts, so none of them blocks.
WORKED_EXAMPLES = [
    ((), {}, "rswatcher() missing 2 required positional arguments: 'path' and 'callback'"),
    (("/tmp",), {}, "rswatcher() missing 1 required positional argument: 'callback'"),
    ((), {"callback": f}, "rswatcher() missing 1 required positional argument: 'path'"),
    (("/tmp", f, 3), {}, "rswatcher() takes 2 positional arguments but 3 were given"),
    (("/tmp", f), {"recursive": True}, "rswatcher() got an unexpected keyword argument 'recursive'"),
    ((), {"x": 1}, "rswatcher() got an unexpected keyword argument 'x'"),
    (("/tmp",), {"path": "/var"}, "rswatcher() got multiple values for argument 'path'"),
    ((42, f), {}, "argument 'path': 'int' object cannot be cast as 'str'"),
    ((b"/tmp", f), {}, "argument 'path': 'bytes' object cannot be cast as 'str'"),
    ((pathlib.Path("/tmp"), f), {}, "argument 'path': 'PosixPath' object cannot be cast as 'str'"),
]

FURTHER_PLACEMENTS = [
    # Too many positional arguments win over a bad keyword.
    (("/tmp", f, 3), {"x": 1}, "rswatcher() takes 2 positional arguments but 3 were given"),
    (("/tmp", f, 3, 4), {}, "rswatcher() takes 2 positional arguments but 4 were given"),
    # Of two bad keywords only the first, in call order, is reported.
    ((), {"first": 1, "second": 2}, "rswatcher() got an unexpected keyword argument 'first'"),
    # An unmatched keyword is reported even with required parameters missing.
    (("/tmp",), {"recursive": True}, "rswatcher() got an unexpected keyword argument 'recursive'"),
    (("/tmp", f), {"callback": f}, "rswatcher() got multiple values for argument 'callback'"),
    ((f,), {"path": "/tmp"}, "rswatcher() got multiple values for argument 'path'"),
    (
        (),
        {"callback": f, "path": "/tmp", "extra": 1},
        "rswatcher() got an unexpected keyword argument 'extra'",
    ),
    ((None, f), {}, "argument 'path': 'NoneType' object cannot be cast as 'str'"),
    ((("/tmp",), f), {}, "argument 'path': 'tuple' object cannot be cast as 'str'"),
    ((), {"path": 7, "callback": f}, "argument 'path': 'int' object cannot be cast as 'str'"),
    # A keyword name without a UTF-8 form matches nothing; its text is shown lossily.
    ((), {"\ud800": 1}, "rswatcher() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    WORKED_EXAMPLES + FURTHER_PLACEMENTS,
    ids=[m for _, _, m in WORKED_EXAMPLES + FURTHER_PLACEMENTS],
)
def test_rejected_call_raises_exact_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        vestra.rswatcher(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.args == (message,)


def test_cast_error_carries_no_cause():
    with pytest.raises(TypeError) as caught:
        vestra.rswatcher(42, f)
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__ is True


def test_path_with_lone_surrogate_passes_the_encode_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as caught:
        vestra.rswatcher("/tmp/\udcff", f)
    assert type(caught.value) is UnicodeEncodeError
    assert not str(caught.value).startswith("argument")
    assert caught.value.reason == "surrogates not allowed"


ACCEPTED_CALLS = [
    ((MISSING, f), {}),
    ((MISSING,), {"callback": f}),
    ((), {"path": MISSING, "callback": f}),
    ((), {"callback": f, "path": MISSING}),
    ((Text(MISSING), f), {}),
    # The callback is not checked when the call is made.
    ((MISSING, 42), {}),
]


@pytest.mark.parametrize(("args", "kwargs"), ACCEPTED_CALLS)
def test_accepted_call_reaches_the_watch(args, kwargs, panic_exception_type):
    # A missing path gets past argument handling and fails only when the watch starts.
    with pytest.raises(panic_exception_type) as caught:
        vestra.rswatcher(*args, **kwargs)
    assert str(caught.value) == (
        "called `Result::unwrap()` on an `Err` value: "
        f'Error {{ kind: PathNotFound, paths: ["{MISSING}"] }}'
    )
