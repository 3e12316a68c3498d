"""How rswatcher calls the callback, and how it ends when the callback raises."""

import operator
import os
import sys
import threading
import time
import weakref

import pytest

import vestra
from helpers import (
    WatchTimedOut,
    inotify_descriptors,
    linux_only,
    time_limit,
    watcher_threads,
)


class Boom(Exception):
    pass


def keep_touching(root, stop, interval=0.05):
    """Creates a new file in `root` every `interval` seconds until `stop` is set."""

    def run():
        number = 0
        while not stop.is_set():
            with open(os.path.join(root, f"touch-{number}"), "w"):
                pass
            number += 1
            stop.wait(interval)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def watch(root, callback, timeout=10.0):
    """rswatcher(root, callback) with files appearing meanwhile; returns what it raised."""
    stop = threading.Event()
    toucher = keep_touching(root, stop)
    try:
        with time_limit(timeout):
            vestra.rswatcher(root, callback)
    except WatchTimedOut:
        raise
    except BaseException as error:  # noqa: B902 - every way out is examined
        return error
    finally:
        stop.set()
        toucher.join(5)
    pytest.fail("rswatcher returned")


def test_raised_exception_propagates_unchanged_and_no_call_follows(root):
    raised = Boom("stop here")
    calls = []

    def callback(event):
        calls.append(event)
        raise raised

    error = watch(root, callback)
    assert error is raised
    time.sleep(0.3)
    assert len(calls) == 1


@linux_only
@pytest.mark.parametrize("callable_", [True, False], ids=["raising", "not-callable"])
def test_callback_ending_the_watch_leaves_no_thread_and_no_descriptor(root, callable_):
    before = inotify_descriptors()
    threads_seen = []

    def callback(event):
        threads_seen.extend(watcher_threads())
        raise Boom

    error = watch(root, callback if callable_ else 42)
    assert type(error) is (Boom if callable_ else TypeError)
    if callable_:
        assert threads_seen, "the watcher's thread was not seen while watching"
    assert watcher_threads(settle=1.0) == []
    assert inotify_descriptors() == before


@pytest.mark.parametrize("callback", [42, None, "text"], ids=repr)
def test_non_callable_callback_raises_type_error_at_first_event(root, callback):
    error = watch(root, callback)
    assert type(error) is TypeError
    assert str(error) == f"'{type(callback).__name__}' object is not callable"


@pytest.mark.parametrize("returned", [False, None, 0, "stop", Boom("not raised")], ids=repr)
def test_return_value_is_ignored(root, returned):
    calls = []

    def callback(event):
        calls.append(event)
        if len(calls) == 3:
            raise Boom
        return returned

    assert isinstance(watch(root, callback), Boom)
    assert len(calls) == 3


def test_every_call_gets_a_fresh_dict(root):
    received = []

    def callback(event):
        received.append(event)
        snapshot = (event["kind"], list(event["paths"]))
        event["kind"] = "changed by the callback"
        event["paths"].append("added by the callback")
        event["extra"] = True
        received.append(snapshot)
        if len(received) == 6:
            raise Boom

    assert isinstance(watch(root, callback), Boom)
    dicts, snapshots = received[0::2], received[1::2]
    assert len({id(d) for d in dicts}) == 3
    assert len({id(d["paths"]) for d in dicts}) == 3
    for kind, paths in snapshots:
        assert kind != "changed by the callback"
        assert "added by the callback" not in paths


def test_callback_gets_exactly_one_positional_argument(root):
    def callback(*args, **kwargs):
        raise Boom(args, kwargs)

    error = watch(root, callback)
    args, kwargs = error.args
    assert len(args) == 1 and type(args[0]) is dict
    assert kwargs == {}


class Handler:
    def __init__(self):
        self.events = []

    def __call__(self, event):
        self.events.append(event)
        raise Boom

    take = __call__


@pytest.mark.parametrize("bound", [False, True], ids=["instance", "bound-method"])
def test_callback_may_be_any_callable(root, bound):
    handler = Handler()
    assert isinstance(watch(root, handler.take if bound else handler), Boom)
    assert len(handler.events) == 1


def test_builtin_callback_that_rejects_a_dict_raises_its_own_error(root):
    error = watch(root, int)
    assert type(error) is TypeError
    assert str(error) == (
        "int() argument must be a string, a bytes-like object or a real number, not 'dict'"
    )


def test_callback_reference_is_released(root):
    handler = Handler()
    probe = weakref.ref(handler)
    assert isinstance(watch(root, handler), Boom)
    del handler
    assert probe() is None


class Returned:
    """What a callback may return: a fresh object that a weak reference can follow."""


def test_returned_objects_are_released(root):
    probes = []

    def callback(event):
        if len(probes) == 4:
            raise Boom
        returned = Returned()
        probes.append(weakref.ref(returned))
        return returned

    assert isinstance(watch(root, callback), Boom)
    assert [probe() for probe in probes] == [None] * 4


def test_event_dicts_hold_no_reference_of_vestra(root):
    # Inside the call, the dict has the references of any C caller that owns its argument
    # (as operator.call does); once the call returns, only those the callback keeps.
    def references(event):
        return sys.getrefcount(event)

    expected_inside = operator.call(references, {"kind": "", "paths": []})
    inside, kept = [], []

    def callback(event):
        inside.append(sys.getrefcount(event))
        kept.append(event)
        if len(kept) == 3:
            raise Boom

    assert isinstance(watch(root, callback), Boom)
    assert inside == [expected_inside] * 3
    unshared = [{"paths": []}]  # held by this list alone
    assert [sys.getrefcount(kept[i]) for i in range(3)] == [sys.getrefcount(unshared[0])] * 3
    assert [sys.getrefcount(kept[i]["paths"]) for i in range(3)] == [
        sys.getrefcount(unshared[0]["paths"])
    ] * 3
