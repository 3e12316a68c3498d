"""Example: read a watch in a thread and stop it from another one.

The watch is live once its constructor returns, so the first change made after it is
reported. `close()` may be called from any thread: the reader's `for` loop then ends at
once, with nothing written into the watched tree.

    python examples/stop_from_thread.py
"""

import os
import tempfile
import threading

from vestra.watch import Event, Watch


def main() -> None:
    seen: list[Event] = []
    with tempfile.TemporaryDirectory() as temporary:
        directory = os.path.realpath(temporary)
        watch = Watch(directory, debounce=0)

        def read() -> None:
            for batch in watch:  # ends once the watch is closed
                seen.extend(batch)

        reader = threading.Thread(target=read)
        reader.start()

        note = os.path.join(directory, "note.txt")
        with open(note, "w") as file:  # right after the constructor: reported
            file.write("hello")
        while not any(event.path == note for event in seen):
            reader.join(0.01)
            assert reader.is_alive(), "the reader ended early"
        watch.close()
        reader.join(10)
        assert not reader.is_alive(), "close() did not end the reader"
        assert seen[0].kind.name == "CREATED" and seen[0].path == note, seen
        assert os.listdir(directory) == ["note.txt"], "something was written into the tree"
    print("stop_from_thread: ok")


if __name__ == "__main__":
    main()
