"""``python -m xalo_sdk.demo``: see xalo_sdk.demo.pipeline."""

import sys

from xalo_sdk.demo.pipeline import main

sys.exit(main())
