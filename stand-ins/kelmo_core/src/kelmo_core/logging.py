"""Logger factory stand-in over the standard :mod:`logging` module.

Loggers take one finished message plus ``exc_info=`` and ``extra=`` and never
raise: a logging failure must not turn into a failure of the caller.
"""

from __future__ import annotations

import logging as _logging
from collections.abc import Mapping
from typing import Any


class Logger:
    """A named logger; records carry the ``extra`` keys as attributes."""

    __slots__ = ("_logger",)

    def __init__(self, name: str) -> None:
        self._logger = _logging.getLogger(name)

    @property
    def name(self) -> str:
        return self._logger.name

    def _log(self, level: int, message: Any, exc_info: Any, extra: Mapping[str, Any] | None) -> None:
        try:
            self._logger.log(level, message, exc_info=exc_info, extra=dict(extra) if extra else None,
                             stacklevel=3)
        except Exception:  # noqa: BLE001 - a logger must never fail its caller
            pass

    def debug(self, message: Any, *, exc_info: Any = None, extra: Mapping[str, Any] | None = None) -> None:
        self._log(_logging.DEBUG, message, exc_info, extra)

    def info(self, message: Any, *, exc_info: Any = None, extra: Mapping[str, Any] | None = None) -> None:
        self._log(_logging.INFO, message, exc_info, extra)

    def warning(self, message: Any, *, exc_info: Any = None, extra: Mapping[str, Any] | None = None) -> None:
        self._log(_logging.WARNING, message, exc_info, extra)

    def error(self, message: Any, *, exc_info: Any = None, extra: Mapping[str, Any] | None = None) -> None:
        self._log(_logging.ERROR, message, exc_info, extra)


class LoggerManager:
    """Hands out loggers by name; constructed without arguments."""

    def get_logger(self, name: str) -> Logger:
        return Logger(name)
