"""`python -m vexasdk`: the command line."""

import sys

from vexasdk.cli import main

sys.exit(main())
