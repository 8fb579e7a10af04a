"""Loggers of the kit: standard ``logging.Logger`` objects by name."""

import logging


def get_logger(name):
    """Return the standard logger of that name."""
    return logging.getLogger(name)


def exception_traceback(logger, e):
    """Log exception ``e`` with its traceback at error level through ``logger``."""
    logger.error("%s: %s", type(e).__name__, e, exc_info=(type(e), e, e.__traceback__))
