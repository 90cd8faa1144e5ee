"""Helpers shared across tframe.

Keep module names here distinct from standard-library and dependency
modules (os, re, types, inspect, datetime, numpy, ...): the native
argchecker extension tries each of its imports relative to this package
first, so a same-named module here would shadow the real one.
"""
