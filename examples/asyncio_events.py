"""Recipe: use vestra with asyncio.

`rswatcher` blocks, so it runs in the loop's default executor, and its callback hands each
event to the loop with `call_soon_threadsafe`. Cancelling the executor's future does not
stop the watch (the thread goes on, and `asyncio.run` then waits for it for ever), so the
watch is stopped as from any other thread: set a flag, touch a sentinel file that the
callback recognises, and await the future.

    python examples/asyncio_events.py
"""

import asyncio
import contextlib
import os
import tempfile
import threading
from collections.abc import AsyncIterator
from typing import Any

import vestra


class StopWatching(Exception):
    """Raised by the callback to end the watch."""


@contextlib.asynccontextmanager
async def watching(directory: str) -> AsyncIterator["asyncio.Queue[dict[str, Any]]"]:
    """Watches `directory` while the block runs; yields the queue that receives its events."""
    loop = asyncio.get_running_loop()
    events: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
    sentinel = os.path.join(os.path.realpath(directory), ".stop-watching")
    stopping = threading.Event()

    def callback(event: dict[str, Any]) -> None:  # runs on the executor's thread
        if sentinel in event["paths"]:
            if stopping.is_set():
                raise StopWatching
            return
        loop.call_soon_threadsafe(events.put_nowait, event)

    def watch() -> None:
        with contextlib.suppress(StopWatching):
            vestra.rswatcher(directory, callback)

    future = loop.run_in_executor(None, watch)
    try:
        yield events
    finally:
        stopping.set()
        while not future.done():
            with open(sentinel, "a"):
                pass
            os.utime(sentinel)
            await asyncio.wait([future], timeout=0.05)
        with contextlib.suppress(FileNotFoundError):
            os.remove(sentinel)
        await future  # re-raises whatever else ended the watch


async def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        report = os.path.join(os.path.realpath(directory), "report.txt")
        async with watching(directory) as events:
            kinds: list[str] = []
            while not kinds:  # the watch starts in the background: write until seen
                with open(report, "w") as file:
                    file.write("draft")
                with contextlib.suppress(TimeoutError):
                    while True:
                        event = await asyncio.wait_for(events.get(), timeout=0.1)
                        if event["paths"] == [report]:
                            kinds.append(event["kind"])
                            break
            assert kinds[0] in ("Create(File)", "Modify(Data(Content))"), kinds
    print("asyncio_events: ok")


if __name__ == "__main__":
    asyncio.run(asyncio.wait_for(main(), timeout=30))
