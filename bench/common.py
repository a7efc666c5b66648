"""Shared pieces of the benchmark rows: fresh arguments and optional peers."""

import importlib


def optional(name):
    """The module, or None when the bench extra that brings it is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


class Fresh:
    """A call whose text argument is a new, equal str every time, as a runtime's state text
    is (the previous call's result, or just serialised): its UTF-8 form is not cached yet.
    The runner builds the copies before it starts the clock."""

    def __init__(self, call, text):
        self.call, self.text = call, text

    def copies(self, n):
        t = self.text
        return [t[:1] + t[1:] for _ in range(n)]

    def __call__(self):
        return self.call(self.copies(1)[0])
