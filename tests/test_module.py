import ctypes
import inspect
import shutil
import subprocess

import pytest

import quor_core

# Every function the module carries, in registration order, with each parameter's argument
# kind (the conversion rules of each kind are in test_frame.py).
PARAMETERS = {
    "cosine_similarity": {"a": "singles", "b": "singles"},
    "top_k": {"query": "singles", "matrix": "matrix", "k": "count"},
    "encode_checkpoint": {"json_str": "text"},
    "decode_checkpoint": {"blob": "bytes"},
    "reduce_channel": {"reducer": "text", "current_json": "text", "update_json": "text"},
    "advance_superstep": {"state_json": "text", "reducers_json": "text", "updates_json": "text"},
    "plan_supersteps": {"nodes": "texts", "edges": "pairs"},
    "hash_event": {"prev_hash": "text", "payload": "text"},
    "verify_chain": {"genesis": "text", "entries": "pairs"},
    "aggregate_cost": {"values": "reals"},
}
SIGNATURES = {name: tuple(params) for name, params in PARAMETERS.items()}
DESCRIPTIONS = {
    "cosine_similarity": "Cosine similarity between two equal-length vectors.",
    "top_k": "Indices and scores of the `k` rows most similar to `query`.",
    "encode_checkpoint": "Encode a JSON document string into a framed checkpoint blob.",
    "decode_checkpoint": "Decode a framed checkpoint blob back into a JSON string.",
    "reduce_channel": "Reduce `current` with `update` under the named channel reducer.",
    "advance_superstep": "Apply a whole superstep's node updates to graph state in one call.",
    "plan_supersteps": "Plan BSP supersteps for the given nodes and edges.",
    "hash_event": "Chained hash for an audit entry: `sha256(prev_hash || payload)`.",
    "verify_chain": "Verify a hash chain; returns the index of the first broken link or `None`.",
    "aggregate_cost": "Sum per-call costs into a single total.",
}


def test_attributes_in_registration_order():
    assert quor_core.__all__ == ["__version__", "NATIVE", *SIGNATURES]
    assert quor_core.__version__ == "0.1.0"
    assert quor_core.NATIVE is True
    assert quor_core.__doc__ == ""


@pytest.mark.parametrize("name", SIGNATURES)
def test_functions_are_module_bound_builtins_with_signatures(name):
    fn = getattr(quor_core, name)
    assert fn.__name__ == name and fn.__module__ == "quor_core"
    assert fn.__self__ is quor_core
    assert fn.__text_signature__ == "(" + ", ".join(SIGNATURES[name]) + ")"
    assert list(inspect.signature(fn).parameters) == list(SIGNATURES[name])
    assert fn.__doc__ == DESCRIPTIONS[name]


def test_second_initialisation_returns_the_cached_module():
    lib = ctypes.PyDLL(quor_core.__file__)
    lib.PyInit_quor_core.restype = ctypes.py_object
    before = list(quor_core.__all__)
    assert lib.PyInit_quor_core() is quor_core
    assert quor_core.__all__ == before


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError.*subinterpreters"):
            interpreters.run_string(interp, "import quor_core")
    finally:
        interpreters.destroy(interp)


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", quor_core.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_quor_core"]


def test_built_against_the_stable_abi():
    assert quor_core.__file__.endswith(".abi3.so")
