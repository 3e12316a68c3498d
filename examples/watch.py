"""Prints every file-system event under a directory until Ctrl-C.

    python examples/watch.py [DIRECTORY]
"""

import sys

import vestra


def show(event):
    print(f"{event['kind']:<24} {' '.join(event['paths'])}", flush=True)


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else "."
    print(f"watching {path} (Ctrl-C to stop)", flush=True)
    try:
        vestra.rswatcher(path, show)
    except KeyboardInterrupt:
        return 0
    except BaseException as error:  # PanicException derives from BaseException
        print(f"cannot watch {path}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
