"""Watch directory trees and read their changes as batches of typed events.

    from vestra.watch import Watch

    with Watch("src", "tests") as watch:      # live once the constructor returns
        for batch in watch:                   # one list of events per burst of changes
            for event in batch:
                print(event.kind.name, event.path)

A batch holds every event of a burst, in order: it is handed over once no event has come
for `debounce` seconds, or `max_delay` seconds after its first event, whichever is first.
Unless told otherwise, a watch ignores the names in DEFAULT_IGNORE: version-control
directories, __pycache__, node_modules, virtual environments and editor files.
Waiting, batching, filtering by pattern and pairing renames happen in vestra's own thread,
which never runs Python; only the optional `ignore_if` predicate runs here, in the thread
that reads.
"""

from __future__ import annotations

import asyncio
import enum
import errno
import os
import time
from collections.abc import AsyncIterator, Callable, Iterable, Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import Final

from vestra import _native

__all__ = [
    "DEFAULT_IGNORE",
    "Event",
    "Kind",
    "Watch",
    "WatchError",
    "WatchNotADirectoryError",
    "WatchNotFoundError",
    "WatchPermissionError",
]


class Kind(enum.Enum):
    """What an event says happened to its path.

    - CREATED: created (a file, a directory, a symbolic link or another entry).
    - REMOVED: removed; for a directory, everything below it went too.
    - WRITTEN: a file's contents were written.
    - METADATA: permissions, ownership, times or link count changed.
    - RENAMED: renamed inside the watched tree: `old_path` is now `path`.
    - MOVED_IN: moved into the tree from elsewhere; what it holds is not reported.
    - MOVED_OUT: moved out of the tree (or the watched path itself moved away).
    - EXCHANGED: `path` and `old_path` swapped places in one step.
    - RESCAN: changes under `path` may have been missed (queue overflow, watch limit,
      unreadable directory): look at it again.
    - OTHER: a change of a kind not listed above; `Event.text` says what is known.
    """

    CREATED = "created"
    REMOVED = "removed"
    WRITTEN = "written"
    METADATA = "metadata"
    RENAMED = "renamed"
    MOVED_IN = "moved in"
    MOVED_OUT = "moved out"
    EXCHANGED = "exchanged"
    RESCAN = "rescan"
    OTHER = "other"

    @classmethod
    def of_text(cls, text: str) -> Kind:
        """The member for an event's kind text, such as ``"Modify(Data(Content))"``.

        Every text maps to exactly one member; texts of no known shape give `OTHER`.
        """
        kind = _KIND_OF_TEXT.get(text)
        if kind is not None:
            return kind
        if text.startswith("Create("):
            return cls.CREATED
        if text.startswith("Remove("):
            return cls.REMOVED
        if text.startswith("Modify(Data("):
            return cls.WRITTEN
        if text.startswith("Modify(Metadata("):
            return cls.METADATA
        return cls.OTHER


# The texts vestra's thread gives; `Kind.of_text` reads any other text by its shape.
_KIND_OF_TEXT: Final[dict[str, Kind]] = {
    "Create(File)": Kind.CREATED,
    "Create(Folder)": Kind.CREATED,
    "Create(Other)": Kind.CREATED,
    "Remove(File)": Kind.REMOVED,
    "Remove(Folder)": Kind.REMOVED,
    "Remove(Other)": Kind.REMOVED,
    "Modify(Data(Content))": Kind.WRITTEN,
    "Modify(Metadata(Any))": Kind.METADATA,
    "Modify(Name(Both))": Kind.RENAMED,
    "Modify(Name(To))": Kind.MOVED_IN,
    "Modify(Name(From))": Kind.MOVED_OUT,
    "Modify(Name(Other))": Kind.EXCHANGED,
    "Other": Kind.RESCAN,
}

# Kinds by text for the native core, which adds those it meets that are not listed.
_KINDS: Final[dict[str, Kind]] = dict(_KIND_OF_TEXT)

_MOVED_IN_TEXT: Final = "Modify(Name(To))"
_MOVED_OUT_TEXT: Final = "Modify(Name(From))"
_TWO_PATHS: Final = frozenset((Kind.RENAMED, Kind.EXCHANGED))


@dataclass(frozen=True, slots=True)
class Event:
    """One change: its kind, the absolute path it names and, for a rename or an exchange,
    the other path. `is_dir` is None where the platform did not say; `text` is the kind
    text the platform layer gave (``"Create(File)"``, ``"Modify(Name(Both))"``, ...)."""

    kind: Kind
    path: str
    old_path: str | None
    is_dir: bool | None
    text: str

    @property
    def paths(self) -> tuple[str, ...]:
        """(old_path, path) for a rename or an exchange, else (path,)."""
        if self.kind in _TWO_PATHS and self.old_path is not None:
            return (self.old_path, self.path)
        return (self.path,)


class WatchError(OSError):
    """A watch could not be set up: `errno`, `strerror` and `filename` (the path as given)
    say why. Reaching the system's inotify limits gives `errno` ENOSPC (watches) or
    EMFILE (instances), with the sysctl to raise named in `strerror`."""


class WatchNotFoundError(WatchError, FileNotFoundError):
    """A path to watch does not exist."""


class WatchPermissionError(WatchError, PermissionError):
    """A path to watch cannot be read."""


class WatchNotADirectoryError(WatchError, NotADirectoryError):
    """A directory on the way to a path to watch is not a directory."""


_ERROR_OF_ERRNO: Final[dict[int, type[WatchError]]] = {
    errno.ENOENT: WatchNotFoundError,
    errno.EACCES: WatchPermissionError,
    errno.EPERM: WatchPermissionError,
    errno.ENOTDIR: WatchNotADirectoryError,
}


def _watch_error(error: OSError) -> WatchError:
    """`error` from the native core as the WatchError that fits its errno."""
    kind = _ERROR_OF_ERRNO.get(error.errno or 0, WatchError)
    if error.filename is None:
        return kind(error.errno, error.strerror)
    return kind(error.errno, error.strerror, error.filename)


DEFAULT_IGNORE: Final[tuple[str, ...]] = (
    # Version control: their object stores change on every commit and checkout.
    ".git",
    ".hg",
    ".svn",
    ".bzr",
    "_darcs",
    "CVS",
    # Byte code that the interpreter writes next to the sources it runs.
    "__pycache__",
    # Installed JavaScript packages: often tens of thousands of directories.
    "node_modules",
    # Virtual environments, and those that test runners make.
    ".venv",
    "venv",
    ".tox",
    ".nox",
    # Editor files: vim's swap files, backups ending in "~", emacs's lock and auto-save files.
    "*.swp",
    "*.swo",
    "*.swx",
    "*~",
    ".#*",
    "#*#",
)
"""The patterns that `Watch` ignores unless `default_ignore=False`. None holds a "/", so
each matches an entry's name wherever it lies in the tree."""


def _path_text(path: object) -> str:
    """`path` as the str to watch; anything but a str or os.PathLike[str] is refused."""
    if isinstance(path, (str, os.PathLike)):
        text = os.fspath(path)
        if isinstance(text, str):
            return text
    raise TypeError(f"a path to watch must be a str or os.PathLike[str], not {type(path).__name__}")


def _patterns(ignore: Iterable[str], default_ignore: bool) -> list[str]:
    if isinstance(ignore, str):
        raise TypeError("ignore takes an iterable of patterns, not one str")
    patterns = list(DEFAULT_IGNORE) if default_ignore else []
    for pattern in ignore:
        if not isinstance(pattern, str):
            raise TypeError(f"an ignore pattern must be a str, not {type(pattern).__name__}")
        patterns.append(pattern)
    return patterns


def _seconds(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not value >= 0:
        raise ValueError(f"{name} must be 0 or more seconds, not {value!r}")
    return float(value)


class Watch:
    """A watch over one or more paths, read as batches of `Event`.

    Every change made after the constructor returns (or, with ``start=False``, after
    `start` returns) is reported. `close` ends the watch from any thread, a signal
    handler or an `ignore_if` predicate; a blocked `read` then returns None at once.

    - `paths`: files or directories, as str or os.PathLike[str]; events name absolute paths.
    - `recursive`: watch everything below each path (True), or only its direct entries.
    - `ignore`: fnmatch patterns (``*``, ``?``, ``[...]``). One without a "/" matches an
      entry's name (``"*.o"``, ``"build"``); one with a "/" matches the path relative to
      the watched path (``"docs/_build"``, ``"src/*.tmp"``). A directory that matches is
      never watched nor walked, and nothing below it is reported.
    - `default_ignore`: add `DEFAULT_IGNORE` to `ignore`.
    - `ignore_if`: called with each absolute path of each event, in the thread that reads;
      True drops it. A rename with one side dropped arrives as a move in or out, an
      exchange with one side dropped as a move out and a move in of the other side.
    - `debounce`: seconds without an event that end a batch (0 hands each read over at once).
    - `max_delay`: seconds after a batch's first event at which it ends in any case.
    - `coalesce`: reduce each batch to the net change per path (a file created and then
      removed within the batch is not reported; many writes are one).
    - `start`: set the watch up now; with False, nothing is watched until `start()`.
    - `poll`: None chooses per directory (remote file systems are polled, and the
      VESTRA_POLL environment variable may force polling); True polls every path; False
      never forces polling.
    - `poll_interval`: seconds between polls (positive); None takes VESTRA_POLL_INTERVAL,
      or 1 s.

    Raises TypeError for arguments of the wrong type, ValueError for negative times and a
    `poll_interval` that is not positive, and `WatchError` (an OSError) when a path cannot
    be watched.
    """

    __slots__ = ("__weakref__", "_ignore_if", "_native", "_paths")

    def __init__(
        self,
        *paths: str | os.PathLike[str],
        recursive: bool = True,
        ignore: Iterable[str] = (),
        default_ignore: bool = True,
        ignore_if: Callable[[str], bool] | None = None,
        debounce: float = 0.05,
        max_delay: float = 1.0,
        coalesce: bool = False,
        start: bool = True,
        poll: bool | None = None,
        poll_interval: float | None = None,
    ) -> None:
        if not paths:
            raise TypeError("Watch() needs at least one path to watch")
        texts = [_path_text(path) for path in paths]
        if ignore_if is not None and not callable(ignore_if):
            raise TypeError(f"ignore_if must be callable, not {type(ignore_if).__name__}")
        patterns = _patterns(ignore, default_ignore)
        quiet = _seconds("debounce", debounce)
        cap = _seconds("max_delay", max_delay)
        if poll is not None and not isinstance(poll, bool):
            raise TypeError(f"poll must be a bool or None, not {type(poll).__name__}")
        interval = 0.0
        if poll_interval is not None:
            interval = _seconds("poll_interval", poll_interval)
            if not 0 < interval <= 86400:
                raise ValueError(
                    "poll_interval must be more than 0 seconds, a day at most, "
                    f"not {poll_interval!r}"
                )
        self._paths = tuple(texts)
        self._ignore_if = ignore_if
        try:
            self._native = _native.Watch(
                texts,
                [bool(recursive)] * len(texts),
                patterns,
                quiet,
                cap,
                bool(coalesce),
                bool(start),
                poll,
                interval,
            )
        except OSError as error:
            raise _watch_error(error) from None
        # Events are made natively, straight into their slots: a burst can hold 100,000.
        self._native.make_events_with(Event, _KINDS, Kind.of_text)

    def start(self) -> None:
        """Sets the watch up and returns once it is live; nothing if it already is.

        Blocks while the trees are walked; `close` from another thread ends the walk, and
        this then returns with `closed` True. Raises `WatchError` as the constructor does.
        """
        try:
            self._native.start()
        except OSError as error:
            raise _watch_error(error) from None

    def read(self, timeout: float | None = None) -> list[Event] | None:
        """The next batch, waiting for it as long as it takes, or up to `timeout` seconds.

        Returns the batch (never empty), [] when `timeout` passed first, or None once the
        watch is closed. Ctrl-C on the main thread interrupts the wait with
        KeyboardInterrupt.
        """
        if timeout is None:
            while True:
                batch = self._native.read(None)
                if batch is None:
                    return None
                events = self._events(batch)
                if events:
                    return events
        deadline = time.monotonic() + _seconds("timeout", timeout)
        while True:
            # One wait of at most a day at a time: any timeout, infinity included, works.
            remaining = max(0.0, deadline - time.monotonic())
            batch = self._native.read(min(remaining, _LONGEST_WAIT))
            if batch is None:
                return None
            if batch and (events := self._events(batch)):
                return events
            if time.monotonic() >= deadline:
                return []

    def __iter__(self) -> Iterator[list[Event]]:
        """Every batch in turn, until the watch is closed."""
        while (batch := self.read()) is not None:
            yield batch

    def __aiter__(self) -> AsyncIterator[list[Event]]:
        """Every batch in turn, awaited on the running event loop, until the watch is
        closed. Cancelling the awaiting task, or leaving the ``async for``, closes the
        watch."""
        return _AsyncBatches(self)

    def close(self) -> None:
        """Ends the watch: wakes a blocked reader (it gets None) and stops vestra's thread,
        or a set-up in progress. Safe from any thread or a signal handler; idempotent."""
        self._native.close()

    @property
    def closed(self) -> bool:
        """True once `close` was called."""
        return bool(self._native.closed)

    def fileno(self) -> int:
        """A descriptor that is readable once a batch is due or the watch is closed, for
        `selectors` or an event loop; it is never readable otherwise."""
        return int(self._native.fileno())

    @property
    def watch_count(self) -> int:
        """How many directories are watched so far (it grows while the watch is set up)."""
        return int(self._native.watch_count)

    def coverage(self) -> list[tuple[str, str, str]]:
        """How each directory is covered: (directory, "inotify" or "polling", why) rows, one
        per watched path and one per polled part of a watched tree (a remote file system
        mounted in it, a directory past the inotify watch limit). Empty once closed."""
        return list(self._native.coverage())

    def __enter__(self) -> Watch:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vestra.watch.Watch {', '.join(map(repr, self._paths))} {state}>"

    def _ready(self) -> list[Event] | float | None:
        """Without waiting: a due batch, the seconds until the pending one is due (-1.0
        when none is), or None once closed."""
        while True:
            batch = self._native.read_ready()
            if batch is None or isinstance(batch, float):
                return batch
            events = self._events(batch)
            if events:
                return events

    def _events(self, events: list[Event]) -> list[Event]:
        """The events of a native batch, with `ignore_if` applied."""
        if self._ignore_if is None:
            return events
        return [kept for event in events for kept in _filtered(event, self._ignore_if)]


_LONGEST_WAIT: Final = 86400.0
def _filtered(event: Event, ignored: Callable[[str], bool]) -> list[Event]:
    """What is left of `event` once the paths that `ignored` accepts are left out, as the
    native rules leave it: a rename with one side left out is a move out of the old path
    or a move in to the new one; an exchange with one side left out is a move out and a
    move in of the other side, whose content came from elsewhere."""
    if event.kind not in _TWO_PATHS or event.old_path is None:
        return [] if ignored(event.path) else [event]
    old_gone, new_gone = ignored(event.old_path), ignored(event.path)
    if not (old_gone or new_gone):
        return [event]
    if old_gone and new_gone:
        return []
    if event.kind is Kind.RENAMED:
        if new_gone:
            return [Event(Kind.MOVED_OUT, event.old_path, None, event.is_dir, _MOVED_OUT_TEXT)]
        return [Event(Kind.MOVED_IN, event.path, None, event.is_dir, _MOVED_IN_TEXT)]
    kept = event.old_path if new_gone else event.path
    return [
        Event(Kind.MOVED_OUT, kept, None, event.is_dir, _MOVED_OUT_TEXT),
        Event(Kind.MOVED_IN, kept, None, event.is_dir, _MOVED_IN_TEXT),
    ]


class _AsyncBatches:
    """The async iterator of a Watch: waits on the running loop for the watch's descriptor
    (a batch due, or closed) or for the due time of a pending batch, with no thread."""

    __slots__ = ("_watch",)

    def __init__(self, watch: Watch) -> None:
        self._watch = watch

    def __aiter__(self) -> _AsyncBatches:
        return self

    async def __anext__(self) -> list[Event]:
        watch = self._watch
        try:
            while True:
                ready = watch._ready()
                if ready is None:
                    raise StopAsyncIteration
                if isinstance(ready, list):
                    return ready
                await _wake_up(watch.fileno(), ready)
        except BaseException:
            # Cancelled, interrupted or ended: nothing reads this watch any more.
            watch.close()
            raise

    async def aclose(self) -> None:
        """Closes the watch."""
        self._watch.close()

    def __del__(self) -> None:
        # Leaving an `async for` drops its iterator: that ends the watch as well.
        self._watch.close()


async def _wake_up(descriptor: int, due_in: float) -> None:
    """Returns once `descriptor` is readable or, when `due_in` is positive, that many
    seconds have passed."""
    loop = asyncio.get_running_loop()
    woken: asyncio.Future[None] = loop.create_future()

    def wake() -> None:
        if not woken.done():
            woken.set_result(None)

    loop.add_reader(descriptor, wake)
    timer = loop.call_later(due_in, wake) if due_in > 0 else None
    try:
        await woken
    finally:
        loop.remove_reader(descriptor)
        if timer is not None:
            timer.cancel()
