"""``python -m sorvane``: the command line (see :mod:`sorvane.cli`)."""

import sys

from sorvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
