"""Recipe: wait until a watch is live.

`rswatcher` sets its watch up after it is called and says nothing when it is ready, so a
change made right after starting it in a thread may come too early to be reported. To know
that the watch is live, create probe files in the watched directory until one is reported;
the callback recognises probes by their name and keeps them from the rest of the program.

    python examples/wait_until_live.py
"""

import itertools
import os
import tempfile
import threading
import time
from typing import Any

import vestra

PROBE_PREFIX = ".vestra-probe-"


def is_probe(path: str) -> bool:
    return os.path.basename(path).startswith(PROBE_PREFIX)


def wait_until_live(directory: str, live: threading.Event, timeout: float = 10.0) -> None:
    """Creates probe files in `directory` until `live` is set (by the callback seeing one)."""
    deadline = time.monotonic() + timeout
    probes: list[str] = []
    try:
        for number in itertools.count():
            probe = os.path.join(directory, f"{PROBE_PREFIX}{os.getpid()}-{number}")
            with open(probe, "w"):
                probes.append(probe)
            if live.wait(0.05):
                return
            if time.monotonic() > deadline:
                raise TimeoutError(f"no probe in {directory} was reported")
    finally:
        for probe in probes:
            os.remove(probe)


class Done(Exception):
    """Raised by the callback once it has what it waited for."""


def main() -> None:
    with tempfile.TemporaryDirectory() as temporary:
        directory = os.path.realpath(temporary)
        data = os.path.join(directory, "data.csv")
        live = threading.Event()
        seen: list[dict[str, Any]] = []

        def callback(event: dict[str, Any]) -> None:
            if any(is_probe(path) for path in event["paths"]):
                live.set()
                return
            seen.append(event)
            if event["paths"] == [data]:
                raise Done

        def watch() -> None:
            try:
                vestra.rswatcher(directory, callback)
            except Done:
                pass

        thread = threading.Thread(target=watch)
        thread.start()
        wait_until_live(directory, live)
        # Live: a single write is now certain to be reported.
        with open(data, "w") as file:
            file.write("a,b\n")
        thread.join(10)
        assert not thread.is_alive(), "the write was not reported"
        assert [event["kind"] for event in seen] == ["Create(File)"], seen
    print("wait_until_live: ok")


if __name__ == "__main__":
    main()
