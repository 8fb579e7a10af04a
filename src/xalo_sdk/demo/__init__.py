"""A short demo of the kit: ``python -m xalo_sdk.demo``."""
