"""Prints every change under a directory until Ctrl-C.

    python examples/watch.py [DIRECTORY]

The "watching" line comes once the watch is live: every change after it is printed.
Exits with status 1 when DIRECTORY cannot be watched, and 130 on Ctrl-C.
"""

import sys

from vestra.watch import Watch


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else "."
    try:
        watch = Watch(path, debounce=0)
    except FileNotFoundError:
        print(f"no such directory: {path}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"cannot watch {path}: {error.strerror}", file=sys.stderr)
        return 1
    with watch:
        print(f"watching {path} (Ctrl-C to stop)", flush=True)
        try:
            for batch in watch:
                for event in batch:
                    print(f"{event.kind.name:<9} {' -> '.join(event.paths)}", flush=True)
        except KeyboardInterrupt:
            return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
