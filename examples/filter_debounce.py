"""Recipe: filter events by pattern and debounce bursts.

vestra reports every change, each as its own event. A program that rebuilds when source
files change wants only some names, and one rebuild per burst of changes (an editor's
save, a `git checkout`) rather than one per event. Both are a few lines of user code:
`fnmatch` picks the names, and a `Debouncer` collects paths until the burst has been quiet
for a while, then hands them over in one batch on its own thread.

    python examples/filter_debounce.py
"""

import fnmatch
import os
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

import vestra


class Debouncer:
    """Collects paths and calls `flush` with them once `quiet` seconds pass without more."""

    def __init__(self, quiet: float, flush: Callable[[list[str]], None]) -> None:
        self._quiet = quiet
        self._flush = flush
        self._pending: dict[str, None] = {}  # an ordered set
        self._last_added = 0.0
        self._closed = False
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._run, name="debouncer")
        self._thread.start()

    def add(self, path: str) -> None:
        with self._changed:
            self._pending[path] = None
            self._last_added = time.monotonic()
            self._changed.notify()

    def close(self) -> None:
        """Flushes what is pending and ends the debouncer's thread."""
        with self._changed:
            self._closed = True
            self._changed.notify()
        self._thread.join()

    def _run(self) -> None:
        while True:
            with self._changed:
                while not self._pending and not self._closed:
                    self._changed.wait()
                if not self._pending:
                    return
                remaining = self._last_added + self._quiet - time.monotonic()
                if remaining > 0 and not self._closed:
                    self._changed.wait(remaining)
                    continue
                batch = list(self._pending)
                self._pending.clear()
            self._flush(batch)  # outside the lock: new events keep coming in meanwhile


def matching(patterns: list[str], on_path: Callable[[str], None]) -> Callable[[dict[str, Any]], None]:
    """A callback that passes on the paths whose file name matches one of `patterns`."""

    def callback(event: dict[str, Any]) -> None:
        for path in event["paths"]:
            if any(fnmatch.fnmatch(os.path.basename(path), pattern) for pattern in patterns):
                on_path(path)

    return callback


class Done(Exception):
    """Raised by the callback once it has what it waited for."""


def main() -> None:
    batches: list[list[str]] = []
    with tempfile.TemporaryDirectory() as temporary:
        directory = os.path.realpath(temporary)
        sources = [os.path.join(directory, f"module{n}.py") for n in range(50)]
        last = os.path.join(directory, "last.py")
        debouncer = Debouncer(0.5, batches.append)
        pass_on = matching(["*.py"], debouncer.add)

        def callback(event: dict[str, Any]) -> None:
            pass_on(event)
            if last in event["paths"]:
                raise Done

        def watch() -> None:
            try:
                vestra.rswatcher(directory, callback)
            except Done:
                pass

        thread = threading.Thread(target=watch)
        thread.start()
        deadline = time.monotonic() + 10
        while thread.is_alive():  # one burst, repeated until the watch was live for it
            assert time.monotonic() < deadline, "the burst was never reported"
            for path in sources:
                with open(path, "w") as file:
                    file.write("pass\n")
                with open(path[:-3] + ".pyc", "w"):  # filtered out
                    pass
            with open(last, "w"):
                pass
            thread.join(0.2)
        debouncer.close()
    delivered = [path for batch in batches for path in batch]
    assert set(delivered) <= set(sources) | {last}, "a filtered path got through"
    assert last in delivered, batches
    assert len(batches) <= 2, f"{len(batches)} batches for one burst"
    print(f"filter_debounce: ok ({len(delivered)} paths in {len(batches)} batch(es))")


if __name__ == "__main__":
    main()
