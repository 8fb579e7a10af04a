"""``python -m xalo_sdk.demo``: see xalo_sdk.demo.pipeline."""

import sys

from xalo_sdk.demo.pipeline import main

if __name__ == "__main__":
    sys.exit(main())
