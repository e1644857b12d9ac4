"""``python -m nalo_stream``: the nalo-limiter file command."""

import sys

from .cli import main

sys.exit(main())
