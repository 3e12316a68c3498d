"""Example: a path that cannot be watched raises an ordinary OSError.

`vestra.watch` raises `WatchError`, an `OSError` with `errno`, `strerror` and `filename`
set, and more precisely `FileNotFoundError`, `PermissionError` or `NotADirectoryError` as
fits, so the usual `except` clauses catch it. Nothing is printed. (The low-level
`vestra.rswatcher` raises its `PanicException` instead: see the README.)

    python examples/missing_path.py
"""

import errno
import os
import tempfile

from vestra.watch import Watch, WatchError


def why_not(path: str) -> str | None:
    """None when `path` can be watched, else why not."""
    try:
        with Watch(path):
            return None
    except FileNotFoundError as error:
        assert isinstance(error, WatchError) and error.errno == errno.ENOENT
        return f"{error.filename} does not exist"
    except OSError as error:
        return f"{error.filename}: {error.strerror}"


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        missing = os.path.join(directory, "not-there")
        assert why_not(missing) == f"{missing} does not exist", why_not(missing)
        assert why_not(directory) is None
    print(f"missing_path: ok ({why_not(missing)})")


if __name__ == "__main__":
    main()
