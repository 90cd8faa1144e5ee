SETTINGS = {}


def get_setting(name, default):  # called once, at load: get_setting("ALLOW_ARG_CHECK", True)
    return SETTINGS.get(name, default)
