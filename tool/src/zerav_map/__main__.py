"""``python -m zerav_map`` runs the command-line tool."""

import sys

from zerav_map.cli import main

sys.exit(main())
