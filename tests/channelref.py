"""Small pure-Python model of the channel reducers and of superstep application.

Reading and writing go through the json module where it agrees with quor_core; the
model adds the number rules json does not share: "-0" is the float -0.0, integer
literals beyond 64 bits become floats by digit truncation, and floats are written in
quor_core's layout. Float literals whose correctly rounded value differs from quor_core's
reading (more than 15 significant digits, or powers of ten above 1e22) are outside the
model; generators avoid them.
"""

import json
import math
from decimal import Decimal

U64_MAX = 2**64 - 1


def _reject_constant(name):
    raise ValueError(f"not JSON: {name}")


def _parse_int(text):
    digits = text.lstrip("-")
    negative = text.startswith("-")
    n = int(digits)
    if not negative and n <= U64_MAX:
        return n
    if negative and n == 0:
        return -0.0
    if negative and n <= 2**63:
        return -n
    # Digits that no longer fit the 64-bit significand are dropped, each one a power of ten.
    significand, exponent = 0, 0
    for ch in digits:
        if exponent == 0 and significand * 10 + int(ch) <= U64_MAX:
            significand = significand * 10 + int(ch)
        else:
            exponent += 1
    value = float(significand) * float(10**exponent)
    return -value if negative else value


def loads(text):
    return json.loads(text, parse_int=_parse_int, parse_constant=_reject_constant)


def format_float(x):
    if math.isinf(x) or math.isnan(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign, raw, exp = Decimal(repr(x)).as_tuple()
    raw = "".join(map(str, raw))
    digits = raw.rstrip("0")
    exp += len(raw) - len(digits)
    n = len(digits)
    e = exp + n - 1  # decimal exponent of the first digit
    head = "-" if sign else ""
    if -5 <= e <= 15:
        if n <= e + 1:
            return head + digits + "0" * (e + 1 - n) + ".0"
        if e < 0:
            return head + "0." + "0" * (-e - 1) + digits
        return head + digits[: e + 1] + "." + digits[e + 1 :]
    mantissa = digits[0] + ("." + digits[1:] if n > 1 else "")
    return f"{head}{mantissa}e{'+' if e >= 0 else '-'}{abs(e)}"


def dumps(value):
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return format_float(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(map(dumps, value)) + "]"
    # Code-point order of str is the byte order of its UTF-8 form.
    return "{" + ",".join(dumps(k) + ":" + dumps(value[k]) for k in sorted(value)) + "}"


def _number(value):
    if type(value) is int or type(value) is float:
        return float(value)
    return 0.0


def reduce_value(name, current, update):
    if name == "append":
        if current is None:
            out = []
        elif isinstance(current, list):
            out = list(current)
        else:
            out = [current]
        if isinstance(update, list):
            out.extend(update)
        else:
            out.append(update)
        return out
    if name == "add":
        total = _number(current) + _number(update)
        if math.isinf(total):
            return None
        if total.is_integer() and -(2**63) <= total < 2**64:
            return int(total)
        return total
    return update


def reduce_channel(reducer, current_json, update_json):
    update = loads(update_json)
    current = loads(current_json)
    return dumps(reduce_value(reducer, current, update))


def advance_superstep(state_json, reducers_json, updates_json):
    state = loads(state_json)
    if not isinstance(state, dict):
        raise ValueError("state must be a JSON object")
    table = loads(reducers_json)
    if not isinstance(table, dict) or not all(isinstance(v, str) for v in table.values()):
        raise ValueError("reducer table must be an object of strings")
    updates = loads(updates_json)
    if not isinstance(updates, list):
        raise ValueError("updates must be an array")
    for node in updates:
        if node is None:
            continue
        if not isinstance(node, dict):
            raise ValueError("each node update must be a JSON object or null")
        for channel in sorted(node):
            reducer = table.get(channel, "last_value")
            state[channel] = reduce_value(reducer, state.get(channel), node[channel])
    return dumps(state)
