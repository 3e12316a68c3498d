"""Example: ignore names by pattern and take a burst of changes as one batch.

A rebuild wants only the sources, and one run per burst (an editor's save, a checkout).
`ignore` drops the byte-code files natively; `debounce` collects the burst until it has been
quiet for that long (or `max_delay` passed); `coalesce` leaves one event per path.

    python examples/filter_debounce.py
"""

import os
import tempfile

from vestra.watch import Watch


def main() -> None:
    with tempfile.TemporaryDirectory() as temporary:
        directory = os.path.realpath(temporary)
        sources = [os.path.join(directory, f"module{n}.py") for n in range(50)]
        with Watch(directory, ignore=["*.pyc"], debounce=0.5, max_delay=5, coalesce=True) as watch:
            for _ in range(3):  # each source written three times
                for path in sources:
                    with open(path, "a") as file:
                        file.write("pass\n")
                    with open(path + "c", "w"):  # ignored
                        pass
            batch = watch.read(timeout=10)
    assert batch, "the burst was not reported"
    paths = [event.path for event in batch]
    assert sorted(paths) == sorted(sources), f"{len(paths)} events for 50 sources"
    print(f"filter_debounce: ok ({len(paths)} paths in one batch)")


if __name__ == "__main__":
    main()
