"""Diagnostics for long-running modules."""
