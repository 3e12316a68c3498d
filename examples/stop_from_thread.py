"""Recipe: stop a watch from another thread.

`rswatcher` blocks until its callback raises, and only a raising callback ends it from
outside the main thread. So the watch runs in a thread of its own, and `stop()` sets a flag
and then touches a sentinel file inside the watched directory: the event wakes the
callback, which sees the flag and raises. The sentinel is touched again until the watch
has ended, so a stop that comes before the watch is live is not lost.

    python examples/stop_from_thread.py
"""

import os
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

import vestra


class StopWatching(Exception):
    """Raised by the callback to end the watch."""


class BackgroundWatch:
    """Watches `directory` in a thread, calling `on_event` there, until `stop()`."""

    def __init__(self, directory: str, on_event: Callable[[dict[str, Any]], None]) -> None:
        self.directory = os.path.realpath(directory)
        self.sentinel = os.path.join(self.directory, ".stop-watching")
        self._on_event = on_event
        self._stopping = threading.Event()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="watch " + self.directory)
        self._thread.start()

    def _callback(self, event: dict[str, Any]) -> None:
        if self.sentinel in event["paths"]:
            if self._stopping.is_set():
                raise StopWatching
            return  # a sentinel left over from an earlier watch
        self._on_event(event)

    def _run(self) -> None:
        try:
            vestra.rswatcher(self.directory, self._callback)
        except StopWatching:
            pass
        except BaseException as error:  # the callback's own errors, or PanicException
            self._error = error

    def stop(self, timeout: float = 10.0) -> None:
        """Ends the watch and waits for its thread; re-raises what ended it otherwise."""
        self._stopping.set()
        deadline = time.monotonic() + timeout
        while self._thread.is_alive():
            if time.monotonic() > deadline:
                raise TimeoutError("the watch did not stop")
            with open(self.sentinel, "a"):
                pass
            os.utime(self.sentinel)
            self._thread.join(0.05)
        if os.path.exists(self.sentinel):
            os.remove(self.sentinel)
        if self._error is not None:
            raise self._error


def main() -> None:
    seen: list[str] = []
    with tempfile.TemporaryDirectory() as directory:
        watch = BackgroundWatch(directory, lambda event: seen.extend(event["paths"]))
        note = os.path.join(watch.directory, "note.txt")
        deadline = time.monotonic() + 10
        while note not in seen:  # the watch starts in the background: write until seen
            assert time.monotonic() < deadline, "the note was never reported"
            with open(note, "w") as file:
                file.write("hello")
            time.sleep(0.05)
        watch.stop()
        assert not any(path == watch.sentinel for path in seen), "the sentinel leaked"

        # A stop right after the start ends the watch as well.
        BackgroundWatch(directory, print).stop()
    print("stop_from_thread: ok")


if __name__ == "__main__":
    main()
