"""Marshalling between user target codes and host commands.

Request form sent to the host: a list of ``{"code": <user code>}`` dicts.
Reply form: a list of ``{"code": <user code>, "target": <host code>}`` dicts,
one per request entry and in the same order.
"""


def todictmc(targets):
    return [{"code": code} for code in targets]


def todotmc(result):
    return [entry["target"] for entry in result]
