"""Objects that stress argument conversion: sequences outside the fast paths, and numbers
whose conversion hooks return or raise what they are given."""


class Seq:
    """A sequence known only through __len__ and __getitem__; its length may lie or raise,
    and one index may raise."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


class _Hook:
    """A conversion hook that returns the value, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def _give(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Real(_Hook):
    __float__ = _Hook._give


class Index(_Hook):
    __index__ = _Hook._give
