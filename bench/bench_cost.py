"""Cost rows: the left-to-right total against sum and math.fsum."""

import math
import random

import quor_core

try:
    import numpy as np
except ImportError:
    np = None


def cases():
    rng = random.Random(9)
    values = [rng.random() * 0.01 for _ in range(1_000_000)]
    assert quor_core.aggregate_cost(values) == sum(values, -0.0)
    out = [{"name": "aggregate_cost, 1,000,000 floats (list)",
            "ours": lambda: quor_core.aggregate_cost(values),
            "peers": {"sum": lambda: sum(values), "math.fsum": lambda: math.fsum(values)}}]
    if np is not None:
        arr = np.asarray(values, dtype=np.float64)
        out.append({"name": "aggregate_cost, 1,000,000 floats (float64 array) vs sum of list",
                    "ours": lambda: quor_core.aggregate_cost(arr),
                    "peers": {"sum (list)": lambda: sum(values)}})
    return out
