"""Audit chain rows: link hashing and chain verification against hashlib."""

import hashlib

import quor_core


def hashlib_link(prev, payload):
    return hashlib.sha256((prev + "\x1f" + payload).encode()).hexdigest()


def python_verify(genesis, entries):
    prev = genesis
    for i, (payload, stored) in enumerate(entries):
        prev = hashlib.sha256((prev + "\x1f" + payload).encode()).hexdigest()
        if prev != stored:
            return i
    return None


def cases():
    prev = "0" * 64
    small = ("payload-" * 25)[:200]
    big = "x" * 2**20
    entries, link = [], "genesis"
    for i in range(10_000):
        payload = (f"entry {i} " * 40)[:200]
        link = hashlib_link(link, payload)
        entries.append((payload, link))
    # The hashing floor: as many blocks as the chain's links, in two links verified together
    # (the two streams the core overlaps; a third gains nothing), with no per-link work.
    blocks = sum((len(p) + 65 + 72) // 64 for p, _ in entries)
    floor_entries, link = [], "genesis"
    for i in range(2):
        payload = chr(ord("a") + i) * (32 * blocks - 140)
        link = hashlib_link(link, payload)
        floor_entries.append((payload, link))
    assert quor_core.hash_event(prev, small) == hashlib_link(prev, small)
    assert quor_core.verify_chain("genesis", entries) is None is python_verify("genesis", entries)
    return [
        {"name": "hash_event, 64-char prev + 200-byte payload",
         "ours": lambda: quor_core.hash_event(prev, small),
         "peers": {"hashlib": lambda: hashlib_link(prev, small)}},
        {"name": "hash_event, 1 MB payload",
         "ours": lambda: quor_core.hash_event(prev, big),
         "peers": {"hashlib": lambda: hashlib_link(prev, big)}, "bytes": len(big)},
        {"name": "verify_chain, 10,000 links of 200 bytes",
         "ours": lambda: quor_core.verify_chain("genesis", entries),
         "peers": {"python+hashlib": lambda: python_verify("genesis", entries)},
         "floor": lambda: quor_core.verify_chain("genesis", floor_entries)},
    ]
