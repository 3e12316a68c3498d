"""Watch directory trees and read their changes as batches of typed events."""

import enum
import os
from collections.abc import AsyncIterator, Callable, Iterable, Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import Final

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
    """What an event says happened to its path."""

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
        """The member for an event's kind text, such as ``"Modify(Data(Content))"``."""

@dataclass(frozen=True, slots=True)
class Event:
    """One change: its kind, the absolute path, the other path of a rename or exchange,
    whether it is a directory (None where unknown) and the platform's kind text."""

    kind: Kind
    path: str
    old_path: str | None
    is_dir: bool | None
    text: str
    @property
    def paths(self) -> tuple[str, ...]:
        """(old_path, path) for a rename or an exchange, else (path,)."""

class WatchError(OSError):
    """A watch could not be set up; `errno`, `strerror` and `filename` say why."""

class WatchNotFoundError(WatchError, FileNotFoundError):
    """A path to watch does not exist."""

class WatchPermissionError(WatchError, PermissionError):
    """A path to watch cannot be read."""

class WatchNotADirectoryError(WatchError, NotADirectoryError):
    """A directory on the way to a path to watch is not a directory."""

DEFAULT_IGNORE: Final[tuple[str, ...]]

class Watch:
    """A watch over one or more paths, read as batches of `Event`; live once it returns."""

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
    ) -> None: ...
    def start(self) -> None:
        """Sets the watch up and returns once it is live."""
    def read(self, timeout: float | None = None) -> list[Event] | None:
        """The next batch; [] when `timeout` passed first; None once closed."""
    def __iter__(self) -> Iterator[list[Event]]:
        """Every batch in turn, until the watch is closed."""
    def __aiter__(self) -> AsyncIterator[list[Event]]:
        """Every batch in turn on the running event loop; leaving it closes the watch."""
    def close(self) -> None:
        """Ends the watch; safe from any thread or a signal handler; idempotent."""
    @property
    def closed(self) -> bool: ...
    def fileno(self) -> int:
        """A descriptor readable once a batch is due or the watch is closed."""
    @property
    def watch_count(self) -> int: ...
    def coverage(self) -> list[tuple[str, str, str]]:
        """How each directory is covered: (directory, "inotify" or "polling", why) rows, one
        per watched path and one per polled part of a watched tree."""
    def __enter__(self) -> Watch: ...
    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
