"""Type information for the quor_core extension module."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

# What the module accepts as a number: anything with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

__version__: str
NATIVE: bool
__all__ = [
    "__version__",
    "NATIVE",
    "cosine_similarity",
    "top_k",
    "encode_checkpoint",
    "decode_checkpoint",
    "reduce_channel",
    "advance_superstep",
    "plan_supersteps",
    "hash_event",
    "verify_chain",
    "aggregate_cost",
]

# PanicException is not declared: it is created on first need and is never a module
# attribute, so `except quor_core.PanicException` would fail at run time.

def cosine_similarity(a: Sequence[_Real], b: Sequence[_Real]) -> float: ...
def top_k(
    query: Sequence[_Real], matrix: Sequence[Sequence[_Real]], k: SupportsIndex
) -> list[tuple[int, float]]: ...
def encode_checkpoint(json_str: str) -> bytes: ...
def decode_checkpoint(blob: Sequence[SupportsIndex] | bytes | bytearray | memoryview) -> str: ...
def reduce_channel(reducer: str, current_json: str, update_json: str) -> str: ...
def advance_superstep(state_json: str, reducers_json: str, updates_json: str) -> str: ...
def plan_supersteps(nodes: Sequence[str], edges: Sequence[tuple[str, str]]) -> list[list[str]]: ...
def hash_event(prev_hash: str, payload: str) -> str: ...
def verify_chain(genesis: str, entries: Sequence[tuple[str, str]]) -> int | None: ...
def aggregate_cost(values: Sequence[_Real]) -> float: ...
