"""velmora trading framework (stand-in)."""
