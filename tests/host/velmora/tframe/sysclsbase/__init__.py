from . import vr  # noqa: F401  (callers reach it as sysclsbase.vr)
