"""Recipe: catch PanicException for a path that cannot be watched.

A watch that cannot start, such as one on a path that does not exist, raises vestra's
`PanicException`. It derives from `BaseException` (so `except Exception` lets it through),
and it is not an attribute of the module: catch `BaseException` and test the type's name,
letting everything else (KeyboardInterrupt, SystemExit, ...) go on. The type checker
knows the type through vestra's stubs, so a small guard function narrows the error.

    python examples/missing_path.py
"""

import os
import tempfile
from typing import TYPE_CHECKING, TypeGuard

import vestra

if TYPE_CHECKING:
    from vestra import PanicException  # for annotations only: it is not there at run time


def is_panic(error: BaseException) -> TypeGuard["PanicException"]:
    return type(error).__name__ == "PanicException"


def watch_or_explain(path: str) -> str | None:
    """Watches `path` until the callback raises; returns why the watch could not start."""
    try:
        vestra.rswatcher(path, print)
    except BaseException as error:
        if not is_panic(error):
            raise
        return str(error)
    return None


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        missing = os.path.join(directory, "not-there")
        why = watch_or_explain(missing)
    assert why is not None and "PathNotFound" in why and missing in why, why
    print(f"missing_path: ok ({why})")


if __name__ == "__main__":
    main()
