"""Pure-Python stand-in for the velmora host package.

Only the pieces the native ``velmora.tframe.utils.argchecker`` extension
imports at run time are provided, kept small enough to read at a glance.
"""
