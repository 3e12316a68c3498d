"""`python -m vestra`: the vestra command (see `vestra --help`)."""

import sys

from vestra.cli import main

if __name__ == "__main__":
    sys.exit(main())
