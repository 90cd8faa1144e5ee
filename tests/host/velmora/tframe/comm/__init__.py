"""Commands sent to the host process (stand-in)."""
