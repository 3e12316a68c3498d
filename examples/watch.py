"""Prints every file-system event under a directory until Ctrl-C.

    python examples/watch.py [DIRECTORY]

Exits with status 1 when DIRECTORY is not a directory, and 130 on Ctrl-C.
"""

import os
import sys
from typing import Any

import vestra


def show(event: dict[str, Any]) -> None:
    print(f"{event['kind']:<24} {' '.join(event['paths'])}", flush=True)


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else "."
    # Checked first: a watch that cannot start raises with a full report on stderr.
    if not os.path.isdir(path):
        reason = "not a directory" if os.path.exists(path) else "no such directory"
        print(f"{reason}: {path}", file=sys.stderr)
        return 1
    print(f"watching {path} (Ctrl-C to stop)", flush=True)
    try:
        vestra.rswatcher(path, show)
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
