"""Process-wide runtime objects."""


class VelmoraCache:
    """A plain key/value cache; ``key_prefix`` keeps namespaces apart."""

    def __init__(self):
        self._data = {}
        self.gets = 0
        self.hits = 0
        self.sets = 0

    def get_cache(self, key, key_prefix=""):
        self.gets += 1
        value = self._data.get((key_prefix, key))
        if value is not None:
            self.hits += 1
        return value

    def set_cache(self, key, value, key_prefix=""):
        self.sets += 1
        self._data[(key_prefix, key)] = value

    def clear(self):
        self._data.clear()
        self.gets = self.hits = self.sets = 0

    def __len__(self):
        return len(self._data)


g_VelmoraCache = VelmoraCache()
