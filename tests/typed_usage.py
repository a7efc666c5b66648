"""Checked with `mypy --strict`, never run: every call must type-check as written, and every
`type: ignore` must still be needed (strict mode reports unused ones), so a stub that is too
loose fails as surely as one that is too strict."""

from decimal import Decimal
from fractions import Fraction
from typing import SupportsFloat, SupportsIndex, assert_type

import numpy as np

import quor_core


def accepted() -> None:
    assert_type(quor_core.__version__, str)
    assert_type(quor_core.NATIVE, bool)
    assert_type(quor_core.__all__, list[str])

    plan = quor_core.plan_supersteps(("a", "b"), [("a", "b")])
    assert_type(plan, list[list[str]])
    assert_type(quor_core.reduce_channel("add", "1", "2"), str)
    assert_type(quor_core.advance_superstep("{}", "{}", "[]"), str)

    blob = quor_core.encode_checkpoint(json_str="{}")
    assert_type(blob, bytes)
    ints: list[SupportsIndex] = [True, np.uint8(1), *blob]
    for source in (blob, bytearray(blob), memoryview(blob), ints):
        assert_type(quor_core.decode_checkpoint(source), str)

    link = quor_core.hash_event("", "payload")
    assert_type(link, str)
    broken = quor_core.verify_chain("", [("payload", link)])
    assert_type(broken, int | None)

    row: list[SupportsFloat | SupportsIndex] = [1, 2.5, True, Fraction(1, 3), Decimal("0.5"), np.float32(1)]
    assert_type(quor_core.cosine_similarity(row, (1.0,) * 6), float)
    best = quor_core.top_k(row, [row, row], k=np.int64(1))
    assert_type(best, list[tuple[int, float]])
    assert_type(quor_core.aggregate_cost(range(3)), float)


def refused() -> None:
    quor_core.plan_supersteps(["a"], [["a", "b"]])  # type: ignore[list-item]
    quor_core.plan_supersteps([1], [])  # type: ignore[list-item]
    quor_core.reduce_channel("add", b"1", "2")  # type: ignore[arg-type]
    quor_core.decode_checkpoint("QUOR")  # type: ignore[arg-type]
    quor_core.verify_chain("", [("a", "b", "c")])  # type: ignore[list-item]
    quor_core.top_k([1.0], [[1.0]], 1.5)  # type: ignore[arg-type]
    quor_core.cosine_similarity(["x"], [1.0])  # type: ignore[list-item]
    quor_core.aggregate_cost(values=[None])  # type: ignore[list-item]
    quor_core.hash_event("x")  # type: ignore[call-arg]
    quor_core.top_k([1.0], [[1.0]], kk=1)  # type: ignore[call-arg]
    text: str = quor_core.encode_checkpoint("{}")  # type: ignore[assignment]
    index: int = quor_core.verify_chain("", [])  # type: ignore[assignment]
    quor_core.PanicException  # type: ignore[attr-defined]
    del text, index
