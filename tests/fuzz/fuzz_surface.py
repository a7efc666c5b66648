"""Coverage-guided fuzzing of the module's Python surface: libFuzzer drives the generated
tests' own inputs, so every input is held to the same properties and models as in the
suite, not only to "no crash".

    python tests/fuzz/fuzz_surface.py TARGET [libFuzzer options] [corpus folder]

TARGET is one of: json, superstep, planner, chain, top_k. Needs `pip install atheris`.
"""

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

with atheris.instrument_imports():
    import test_chain
    import test_channels
    import test_frame
    import test_json_reader
    import test_planner

TARGETS = {
    "json": test_json_reader.test_generated_texts_match_the_reference_model,
    "superstep": test_channels.test_superstep_matches_model,
    "planner": test_planner.test_matches_reference_model,
    "chain": test_chain.test_first_broken_link_is_found,
    "top_k": test_frame.test_float_fast_paths_match_the_general_path,
}

if __name__ == "__main__":
    test = TARGETS[sys.argv.pop(1)]
    atheris.Setup(sys.argv, test.hypothesis.fuzz_one_input)
    atheris.Fuzz()
