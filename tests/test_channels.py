"""Channel reducers and supersteps, against literal tables and a small model."""

import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import channelref as ref
import jsongen
import jsonref
from helpers import outcome
from quor_core import advance_superstep, reduce_channel

GENERATED = settings(max_examples=150, derandomize=True, deadline=None,
                     suppress_health_check=[HealthCheck.too_slow])


REDUCE_ROWS = [
    ("append", "null", "1", "[1]"), ("append", "[1,2]", "[3,4]", "[1,2,3,4]"),
    ("append", "[1]", "[[2]]", "[1,[2]]"), ("append", '{"a":1}', "2", '[{"a":1},2]'),
    ("append", "true", "false", "[true,false]"), ("append", "null", "[]", "[]"),
    ("append", "[1]", "null", "[1,null]"), ("append", "[]", "[5]", "[5]"),
    ("append", "[1]", "[]", "[1]"), ("append", "  [1] \n", "2", "[1,2]"), ("add", "1", "2", "3"),
    ("add", "-3", "1", "-2"), ("add", "1.5", "1.5", "3"), ("add", "0.1", "0.2", "0.30000000000000004"),
    ("add", "2.5", "true", "2.5"), ("add", '"12"', "2", "2"), ("add", "null", "null", "0"),
    ("add", "-0.0", "-0", "0"),
    # Integral sums are integers exactly while 64 bits hold them, floats beyond.
    ("add", "9007199254740993", "0", "9007199254740992"),
    ("add", "18446744073709551615", "0", "1.8446744073709552e+19"),
    ("add", "1e19", "0", "10000000000000000000"),
    ("add", "9223372036854775807", "1", "9223372036854775808"),
    ("add", "-9223372036854775808", "0", "-9223372036854775808"), ("add", "-1e19", "0", "-1e+19"),
    ("add", "1e300", "0", "1e+300"), ("add", "-1e300", "0", "-1e+300"),
    ("add", "1e308", "1e308", "null"), ("last_value", "[1]", '{"b":1,"a":2}', '{"a":2,"b":1}'),
    ("last_value", "5", "null", "null"), ("Append", "[1]", "2", "2"), ("add ", "1", "2", "2"),
    ("", "1", "2", "2"), ("max", "1", "2", "2"),
]


@pytest.mark.parametrize("reducer, current, update, expected", REDUCE_ROWS)
def test_reducer_table(reducer, current, update, expected):
    assert reduce_channel(reducer, current, update) == expected
    assert ref.reduce_channel(reducer, current, update) == expected


SUPERSTEP_ROWS = [
    ("{}", "{}", "[]", "{}"), (' {"b":1, "a":[1]} ', "{}", "[]", '{"a":[1],"b":1}'),
    ('{"m":[1]}', '{"m":"append"}', '[{"m":2},null,{"m":[3,4]}]', '{"m":[1,2,3,4]}'),
    ('{"n":1}', '{"n":"add"}', '[{"n":2},{"n":3.5}]', '{"n":6.5}'),
    ('{"x":1}', "{}", '[{"x":2},{"x":3}]', '{"x":3}'),
    ("{}", '{"g":"append"}', '[{"g":"a"}]', '{"g":["a"]}'),
    ("{}", '{"c":"add"}', '[{"c":5}]', '{"c":5}'), ('{"x":1}', "{}", '[{"x":null}]', '{"x":null}'),
    ('{"x":[1]}', '{"x":"max"}', '[{"x":[2]}]', '{"x":[2]}'),
    ('{"x":1}', '{"y":"append"}', "[null]", '{"x":1}'),
    ('{"x":1}', '{"x":"add","x":"append"}', '[{"x":2}]', '{"x":[1,2]}'),
    ("{}", '{"x":"append"}', '[{"x":[1]},{"x":2},{"x":[3]}]', '{"x":[1,2,3]}'),
    ('{"x":1}', "{}", '[{"x":2,"x":3}]', '{"x":3}'),
]


@pytest.mark.parametrize("state, table, updates, expected", SUPERSTEP_ROWS)
def test_superstep_table(state, table, updates, expected):
    assert advance_superstep(state, table, updates) == expected
    assert ref.advance_superstep(state, table, updates) == expected


@pytest.mark.parametrize("fn, args, message", [
    # The update is read before the current value.
    (reduce_channel, ("append", "[", "{"), "EOF while parsing an object at line 1 column 1"),
    (reduce_channel, ("append", "[", "1"), "EOF while parsing a list at line 1 column 1"),
    (reduce_channel, ("append", "", "1"), "EOF while parsing a value at line 1 column 0"),
    (advance_superstep, ("[]", "{}", "[]"), "state must be a JSON object"),
    (advance_superstep, ("null", "{}", "[]"), "state must be a JSON object"),
    (advance_superstep, ("{}", "{}", '[{"x":1},5]'), "each node update must be a JSON object or null"),
    (advance_superstep, ("{}", "{}", '[null,"s"]'), "each node update must be a JSON object or null"),
    (advance_superstep, ("{}", "{}", "[[]]"), "each node update must be a JSON object or null"),
    # The earliest step's failure wins.
    (advance_superstep, ("[", "null", "{}"), "EOF while parsing a list at line 1 column 1"),
    (advance_superstep, ("5", "null", "{}"), "state must be a JSON object"),
    (advance_superstep, ("{}", "null", "{}"), "invalid type: null, expected a map at line 1 column 4"),
    (advance_superstep, ("{}", "{}", '[5,{"x":'), "EOF while parsing a value at line 1 column 8"),
])
def test_failures(fn, args, message):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert str(info.value) == message


def long_append(start):
    updates = [{"log": [i, [i]]} if i % 7 == 0 else {"log": i} for i in range(2000)]
    updates[10:10] = [None, {"other": 2}]
    return f'{{"log":{start},"other":1}}', '{"log":"append"}', json.dumps(updates)


def interleaved_appends():
    channels = [f"c{i}" for i in range(40)]
    updates = [{c: [r, c] for c in channels[r % 3::3]} for r in range(60)]
    return json.dumps({c: [c] for c in channels[::2]}), json.dumps({c: "append" for c in channels}), \
        json.dumps(updates)


def wide_superstep(seed):
    """Thousands of channels, a table with later duplicates, and created channels that sort
    before, between and after existing ones."""
    rnd = random.Random(seed)
    names = [f"ch_{i:05d}" for i in range(0, 6000, 2)]
    table = [(n, rnd.choice(["append", "add", "last_value", "max"])) for n in rnd.sample(names, 400)]
    table += [(n, rnd.choice(["append", "add"])) for n, _ in table[:50]]
    state = {n: rnd.choice([[rnd.randint(-9, 9)] * rnd.randint(0, 3), rnd.randint(-10**6, 10**6),
                            rnd.randint(-400, 400) / 4, None, "t\u00e9xt", {"b": 1, "a": [True]}])
             for n in rnd.sample(names, len(names))}
    fresh = ["a_new", "ch_00001", "ch_02999", "ch_99999", "zz"]
    updates = [None if rnd.random() < 0.05 else
               {n: rnd.choice([rnd.randint(-50, 50), rnd.randint(-40, 40) / 8, [rnd.randint(0, 9)],
                               "v\u00e9", None, {"k": [1.5]}])
                for n in rnd.sample(names[:300] + fresh, rnd.randint(1, 4))} for _ in range(800)]
    return json.dumps(state), "{" + ",".join(f'"{n}":"{r}"' for n, r in table) + "}", json.dumps(updates)


@pytest.mark.parametrize("args", [long_append(s) for s in ["null", "[]", "[0]", '"first"', '{"k":[1]}']]
                         + [interleaved_appends()] + [wide_superstep(seed) for seed in range(3)],
                         ids=lambda a: f"{len(a[2])}")
def test_built_supersteps_match_the_model(args):
    assert advance_superstep(*args) == ref.advance_superstep(*args)


@pytest.mark.parametrize("seed", range(3))
def test_each_superstep_reads_the_state_the_last_one_returned(seed):
    # A returned state is in normal form: its untouched channels, lists that are appended
    # to and numbers that are added to (floats that move on a read among them) must come
    # out as the model's, step after step.
    rnd = random.Random(seed)
    floats = [0.15838287025480557, 7.142328006063565e-165, 1e16, -0.0, 2.5, 1e-7]
    state = json.dumps({f"c{i}": rnd.choice([[], [1.5], floats, rnd.choice(floats), "s", {"b": [1]}, None])
                        for i in range(30)})
    table = json.dumps({f"c{i}": rnd.choice(["append", "add", "last_value"]) for i in range(0, 34, 2)})
    ours = model = state
    for _ in range(4):
        updates = json.dumps([{f"c{rnd.randrange(34)}": rnd.choice([[rnd.choice(floats)], 1, rnd.choice(floats), None])
                               for _ in range(3)} for _ in range(5)])
        ours, model = advance_superstep(ours, table, updates), ref.advance_superstep(model, table, updates)
        assert ours == model


REDUCERS = ["append", "add", "last_value", "max", "", "Append", "add "]
CHANNELS = ["a", "b", "ab", "B", "_", "é", "日本", "a\x00", 'q"', "\x7f"]

KEYS = st.builds(lambda k, ascii_only: json.dumps(k, ensure_ascii=ascii_only), st.sampled_from(CHANNELS),
                 st.booleans())
VALUES = jsongen.json_texts().filter(lambda t: jsonref.normalise(t) is not None)
NUMBERS = jsongen.number_tokens() | st.floats(allow_nan=False, allow_infinity=False).map(repr)


def _object(members):
    return "{" + ",".join(f"{k}:{v}" for k, v in members) + "}"


def _rarely(common, rare):
    # One draw in eight takes the rare branch, however many branches each side has.
    return st.integers(0, 7).flatmap(lambda i: rare if i == 0 else common)


OBJECTS = st.lists(st.tuples(KEYS, VALUES), max_size=6).map(_object)
TABLES = st.lists(st.tuples(KEYS, st.sampled_from(REDUCERS).map(json.dumps)), max_size=6).map(_object)
UPDATES = st.builds(lambda nodes, bad, at: "[" + ",".join(nodes[:at] + bad + nodes[at:]) + "]",
                    st.lists(_rarely(OBJECTS, st.just("null")), max_size=8),
                    _rarely(st.just([]), st.sampled_from(["1", '"n"', "true", "[{}]"]).map(lambda b: [b])),
                    st.integers(0, 8))


@pytest.mark.slow
@GENERATED
@given(_rarely(OBJECTS, jsongen.SCALARS), TABLES, UPDATES)
def test_superstep_matches_model(state, table, updates):
    args = (state, table, updates)
    assert outcome(advance_superstep, *args) == outcome(ref.advance_superstep, *args)


@pytest.mark.slow
@GENERATED
@given(st.sampled_from(REDUCERS), VALUES, VALUES)
def test_single_write_matches_model_and_one_node_superstep(reducer, current, update):
    assert outcome(reduce_channel, reducer, current, update) == \
        outcome(ref.reduce_channel, reducer, current, update)
    superstep = outcome(advance_superstep, f'{{"k":{current}}}', json.dumps({"k": reducer}),
                        f'[{{"k":{update}}}]')
    assert superstep == outcome(lambda: f'{{"k":{reduce_channel(reducer, current, update)}}}')


@GENERATED
@given(NUMBERS, NUMBERS)
def test_sums_match_model(current, update):
    args = ("add", current, update)
    assert outcome(reduce_channel, *args) == outcome(ref.reduce_channel, *args)
