"""Example: read a watch from asyncio.

`async for` waits on the event loop itself (no executor thread). Leaving the loop, as
`break` does here, or cancelling the task closes the watch, so `asyncio.run` returns at once.

    python examples/asyncio_events.py
"""

import asyncio
import os
import tempfile

from vestra.watch import Kind, Watch


async def first_change(watch: Watch, path: str) -> Kind:
    """The kind of the first event for `path`."""
    async for batch in watch:
        for event in batch:
            if event.path == path:
                return event.kind  # leaving the loop closes the watch
    raise AssertionError(f"the watch ended before {path} changed")


async def main() -> None:
    with tempfile.TemporaryDirectory() as temporary:
        directory = os.path.realpath(temporary)
        report = os.path.join(directory, "report.txt")
        watch = Watch(directory)
        with open(report, "w") as file:
            file.write("draft")
        kind = await asyncio.wait_for(first_change(watch, report), timeout=10)
        assert kind is Kind.CREATED, kind
        assert watch.closed, "leaving the async for left the watch open"
    print("asyncio_events: ok")


if __name__ == "__main__":
    asyncio.run(main())
