"""Logging of the kit."""

from xalo_sdk.logging.logger import exception_traceback, get_logger

__all__ = ["exception_traceback", "get_logger"]
