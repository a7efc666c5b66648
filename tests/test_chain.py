"""Link hashes and chain verification, held against hashlib."""

import hashlib
import random

import pytest
from hypothesis import given, settings, strategies as st

from helpers import build_chain, ref_link
from oddities import Seq
from quor_core import hash_event, verify_chain


# Every length around the block edges (55/56/64) up to a few blocks, around the longest
# message hashed from one laid-out copy (1,015 bytes with its prefix and separator), then
# long inputs; the prefix shifts where the payload starts inside a block.
LENGTHS = [*range(0, 300), 511, 512, 513, *range(940, 1030), 4095, 4096, 4097, 3 * 2**20 + 7]


@pytest.mark.parametrize("prefix", ["", "p" * 64, "é"])
def test_digest_matches_hashlib_at_every_block_edge(prefix):
    rng = random.Random(len(prefix))
    for n in LENGTHS:
        payload = "".join(chr(rng.randrange(32, 127)) for _ in range(min(n, 64))) * (n // 64 + 1)
        payload = payload[:n]
        assert hash_event(prefix, payload) == ref_link(prefix, payload), n


@pytest.mark.parametrize(
    "prev, payload, link_input",
    [("", "", b"\x1f"), ("a", "b", b"a\x1fb"), ("ab", "", b"ab\x1f"), ("", "ab", b"\x1fab"),
     ("", "é", b"\x1f\xc3\xa9"), ("\x00", "\U0001f600", b"\x00\x1f\xf0\x9f\x98\x80")],
)
def test_link_input_is_prev_separator_payload(prev, payload, link_input):
    assert hash_event(prev, payload) == hashlib.sha256(link_input).hexdigest()


@settings(derandomize=True, max_examples=60, deadline=None)
@given(genesis=st.text(max_size=70), payloads=st.lists(st.text(max_size=90), max_size=8),
       data=st.data())
def test_first_broken_link_is_found(genesis, payloads, data):
    entries = build_chain(genesis, payloads)
    assert verify_chain(genesis, entries) is None
    if not entries:
        return
    j = data.draw(st.integers(0, len(entries) - 1))
    payload, stored = entries[j]
    tampered = [
        (payload + "x", stored),
        (payload, stored.upper() if stored.upper() != stored else stored[:-1] + "g"),
        (payload, stored + " "),
        (payload, stored[:-1]),
    ]
    for entry in tampered:
        assert verify_chain(genesis, entries[:j] + [entry] + entries[j + 1:]) == j
    assert verify_chain(genesis + "x", entries) == 0


def test_swapping_two_entries_reports_the_smaller_index():
    entries = build_chain("g", ["a", "b", "c", "d"])
    entries[1], entries[3] = entries[3], entries[1]
    assert verify_chain("g", entries) == 1


@pytest.mark.parametrize("wrap", [list, tuple, Seq])
def test_every_sequence_kind_gives_the_same_answer(wrap):
    entries = build_chain("g", ["a", "b", "c"])
    assert verify_chain("g", wrap(entries)) is None
    assert verify_chain("g", wrap(entries[:1] + [("z", entries[1][1])])) == 1


def test_long_chains_verify_and_find_a_late_break():
    entries = build_chain("g", [str(i) for i in range(100_000)])
    assert verify_chain("g", entries) is None
    entries[99_999] = ("x", entries[99_999][1])
    assert verify_chain("g", entries) == 99_999
    # Every entry is converted before any link is checked.
    with pytest.raises(TypeError, match="^argument 'entries': 'int' object"):
        verify_chain("g", [("p", "broken"), ("q", 5)])


def ref_verify(genesis, entries):
    prev = genesis
    for i, (payload, stored) in enumerate(entries):
        prev = ref_link(prev, payload)
        if prev != stored:
            return i
    return None


@pytest.mark.parametrize("seed", range(4))
def test_links_checked_ahead_give_the_first_broken_one(seed):
    # Links are hashed a few at a time, each from the stored hash before it: lengths that
    # put block edges everywhere, chains of odd and even length, breaks anywhere.
    rng = random.Random(seed)
    for _ in range(40):
        genesis = "g" * rng.choice([0, 1, 54, 55, 63, 64, 65, 130])
        entries, prev = [], genesis
        for _ in range(rng.randrange(0, 9)):
            payload = "é" * rng.randrange(3) + "x" * rng.choice([*range(140), 300, *range(940, 960), 5000])
            prev = ref_link(prev, payload)
            entries.append((payload, prev))
        if entries and rng.random() < 0.7:
            j = rng.randrange(len(entries))
            p, s = entries[j]
            entries[j] = rng.choice([(p + "!", s), (p, s.upper()), (p, s[:63]), (p, s + "0")])
        assert verify_chain(genesis, entries) == ref_verify(genesis, entries)
