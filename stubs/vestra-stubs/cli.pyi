"""The vestra command: print the changes under directory trees, or run a command on each
batch of changes."""

from collections.abc import Sequence

def main(argv: Sequence[str] | None = None) -> int:
    """Runs the vestra command with `argv` (default: the process's arguments) and returns
    its exit status: 0, 1 when a path cannot be watched or the command cannot be started,
    2 for bad usage, 128+N when stopped by signal N."""
