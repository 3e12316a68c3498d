"""Watch a directory tree and call a Python function for every file-system event."""

from collections.abc import Callable
from typing import Any, type_check_only

__all__ = ["rswatcher"]

def rswatcher(path: str, callback: Callable[[dict[str, Any]], object]) -> None:
    """Watch the tree at `path` and call `callback` once for every file-system event.

    `path` is a `str` naming a file or directory; everything beneath it is watched.
    `callback` is called with one argument per event, a new `dict` each time:

    - ``"kind"`` (`str`): what changed, one of
      ``Create(File)``, ``Create(Folder)``, ``Create(Other)`` (a symbolic link),
      ``Remove(File)``, ``Remove(Folder)``, ``Remove(Other)`` (a symbolic link, or an
      unmounted file system), ``Modify(Data(Content))`` (contents written),
      ``Modify(Metadata(Any))`` (permissions, owner, times, link count),
      ``Modify(Name(Any))`` (a rename: one event for the old path, one for the new),
      ``Modify(Name(From))`` (the watched directory itself was moved away), and
      ``Other`` (changes may have been missed under the path given: look at it again);
    - ``"paths"`` (`list[str]`): the absolute paths concerned; bytes that are not valid
      UTF-8 are decoded as U+FFFD.

    The call blocks: it returns only by raising. The watch ends when `callback` raises
    (that exception propagates unchanged) or a signal handler raises (Ctrl-C gives
    `KeyboardInterrupt` within about 100 ms on the main thread). The interpreter lock is
    released while the call waits, so other threads keep running. The callback's return
    value is ignored.

    Wrong arguments raise `TypeError`. A watch that cannot start, for example on a path
    that does not exist, raises `PanicException`, which derives from `BaseException`.
    """

@type_check_only
class PanicException(BaseException):
    """Raised by `rswatcher` when a watch cannot start or fails unexpectedly.

    It derives from `BaseException`, so ``except Exception`` lets it through. It is not an
    attribute of the module at run time: catch it with ``except BaseException as error``
    and check ``type(error).__name__ == "PanicException"``. Its message is its only
    argument, for example ``called `Result::unwrap()` on an `Err` value: Error { kind:
    PathNotFound, paths: ["/no/such/dir"] }``.
    """
