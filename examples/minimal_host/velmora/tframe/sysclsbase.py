import types


class _Cache:  # the shared cache: get_cache(code, key_prefix="convert"), set_cache(code, value, key_prefix=...)
    def __init__(self):
        self.entries = {}

    def get_cache(self, key, key_prefix=""):
        return self.entries.get((key_prefix, key))  # a false value when missing

    def set_cache(self, key, value, key_prefix=""):
        self.entries[(key_prefix, key)] = value


vr = types.SimpleNamespace(g_VelmoraCache=_Cache())
