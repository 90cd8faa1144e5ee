import logging

LOG = []


def write_userlog(text, level, console=None):  # called as write_userlog(text, "error", console=None)
    LOG.append((level, text))
    logging.getLogger("velmora.userlog").error(text)
