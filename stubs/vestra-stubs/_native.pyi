"""The native core of vestra.watch (private: use vestra.watch)."""

from collections.abc import Callable
from typing import Any

# A batch: event tuples (kind text, path, old path, is_dir as -1/0/1), or instances of the
# type given to make_events_with.
_Batch = list[Any]

class Watch:
    def __init__(
        self,
        paths: list[str],
        recursive: list[bool],
        ignore: list[str],
        debounce: float,
        max_delay: float,
        coalesce: bool,
        start: bool,
        poll: bool | None = None,
        poll_interval: float = 0.0,
    ) -> None: ...
    def start(self) -> None: ...
    def fileno(self) -> int: ...
    def make_events_with(
        self, event_type: type, kinds: dict[str, Any], of_text: Callable[[str], Any], /
    ) -> None: ...
    def read(self, timeout: float | None = None) -> _Batch | None: ...
    def read_ready(self) -> _Batch | float | None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def watch_count(self) -> int: ...
    def coverage(self) -> list[tuple[str, str, str]]: ...
