"""Small model of the channel reducers and of superstep application, over the JSON model:
read failures raise jsonref.Rejected, the superstep's own checks ValueError."""

import math

from jsonref import Rejected, parse, write


def _number(value):
    return float(value) if type(value) in (int, float) else 0.0  # bools and the rest count 0


def reduce_value(name, current, update):
    if name == "append":
        out = [] if current is None else list(current) if isinstance(current, list) else [current]
        return out + update if isinstance(update, list) else out + [update]
    if name == "add":
        total = _number(current) + _number(update)
        if math.isinf(total):
            return None
        return int(total) if total.is_integer() and -(2**63) <= total < 2**64 else total
    return update


def reduce_channel(reducer, current_json, update_json):
    update = parse(update_json)
    return write(reduce_value(reducer, parse(current_json), update))


def advance_superstep(state_json, reducers_json, updates_json):
    state = parse(state_json)
    if not isinstance(state, dict):
        raise ValueError("state must be a JSON object")
    table = parse(reducers_json)
    if not isinstance(table, dict) or not all(isinstance(v, str) for v in table.values()):
        raise Rejected("reducer table must be an object of strings")
    updates = parse(updates_json)
    if not isinstance(updates, list):
        raise Rejected("updates must be an array")
    if not all(node is None or isinstance(node, dict) for node in updates):
        raise ValueError("each node update must be a JSON object or null")
    for node in (n for n in updates if n is not None):
        for channel in sorted(node):
            state[channel] = reduce_value(table.get(channel, "last_value"), state.get(channel), node[channel])
    return write(state)
