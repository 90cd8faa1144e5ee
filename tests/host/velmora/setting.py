"""Process-wide settings store."""
import os

_settings = {}

# Settings that can be switched off from the environment, e.g.
# VELMORA_ALLOW_ARG_CHECK=0 disables argument checking for a demo run.
_ENV_SWITCHES = {"ALLOW_ARG_CHECK": "VELMORA_ALLOW_ARG_CHECK"}
_FALSE_WORDS = ("0", "false")


def get_setting(name, default=None):
    env_name = _ENV_SWITCHES.get(name)
    if env_name is not None:
        raw = os.environ.get(env_name)
        if raw is not None and raw.strip().lower() in _FALSE_WORDS:
            return False
    return _settings.get(name, default)


def set_setting(name, value):
    _settings[name] = value


def reset_settings():
    _settings.clear()
