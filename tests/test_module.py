import ctypes
import inspect
import shutil
import subprocess
import sys

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


def test_attributes_in_registration_order():
    assert quor_core.__all__ == ["__version__", "NATIVE", *SIGNATURES]
    assert quor_core.__version__ == "0.1.0"
    assert quor_core.NATIVE is True
    assert quor_core.__doc__ == ""


@pytest.mark.parametrize("name", SIGNATURES)
def test_functions_are_module_bound_builtins_with_signatures_and_docstrings(name):
    fn = getattr(quor_core, name)
    assert fn.__name__ == name and fn.__module__ == "quor_core"
    assert fn.__self__ is quor_core
    assert fn.__text_signature__ == "(" + ", ".join(SIGNATURES[name]) + ")"
    assert list(inspect.signature(fn).parameters) == list(SIGNATURES[name])
    # The interpreter parses the stored "name(params)\n--\n\n" line off the docstring: what
    # remains is the description alone, one line of one sentence that names no parameter
    # list of its own.
    doc = fn.__doc__
    assert doc and "\n" not in doc and doc == doc.strip()
    assert doc[0].isupper() and doc.endswith(".") and not doc.startswith(name + "(")
    assert ". " not in doc and doc.count("`") % 2 == 0


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
    # Windows names a stable-ABI extension plainly, as any other.
    assert quor_core.__file__.endswith(".pyd" if sys.platform == "win32" else ".abi3.so")
