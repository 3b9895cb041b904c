"""Runs the velmora command line: python -m velmora.cli."""

import sys

from velmora.cli import main

sys.exit(main())
