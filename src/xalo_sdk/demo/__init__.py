"""The kit's demo pipeline: ``python -m xalo_sdk.demo --help``.

The worker processes start from ``xalo_sdk.demo.pipeline``, so that they can be
spawned; ``__main__`` only calls its ``main``.
"""
