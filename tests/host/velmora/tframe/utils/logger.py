"""User-facing log.

Messages go to a size-bounded rotating file, by default ``velmora_user.log``
in the temp directory, or the file named by ``VELMORA_USERLOG``.  The last
entries are also kept in ``RECENT`` so a demo or a test can show them.
"""
import collections
import logging
import logging.handlers
import os
import sys
import tempfile

RECENT = collections.deque(maxlen=200)

_LEVELS = {
    "debug": logging.DEBUG,
    "info": logging.INFO,
    "warn": logging.WARNING,
    "warning": logging.WARNING,
    "error": logging.ERROR,
    "critical": logging.CRITICAL,
}
_MAX_BYTES = 1024 * 1024
_BACKUPS = 3

_logger = logging.getLogger("velmora.userlog")
_logger.setLevel(logging.DEBUG)
_logger.propagate = False
_handler = None


def userlog_path():
    return os.environ.get("VELMORA_USERLOG") or os.path.join(
        tempfile.gettempdir(), "velmora_user.log")


def _get_logger():
    """Attach the file handler on first use, or again if the path changed."""
    global _handler
    path = os.path.abspath(userlog_path())
    if _handler is None or _handler.baseFilename != path:
        close_userlog()
        _handler = logging.handlers.RotatingFileHandler(
            path, maxBytes=_MAX_BYTES, backupCount=_BACKUPS, encoding="utf-8")
        _handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
        _logger.addHandler(_handler)
    return _logger


def close_userlog():
    global _handler
    if _handler is not None:
        _logger.removeHandler(_handler)
        _handler.close()
        _handler = None


def write_userlog(text, level="info", console=None):
    name = level.lower() if isinstance(level, str) else "info"
    if name not in _LEVELS:
        name = "info"
    # The object is kept as given, so tests can inspect what was passed in.
    RECENT.append((name, text))
    _get_logger().log(_LEVELS[name], "%s", text)
    if console:
        print("[{}] {}".format(name.upper(), text), file=sys.stderr)


def clear_recent():
    RECENT.clear()
