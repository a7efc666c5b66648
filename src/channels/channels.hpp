// Channel reducers: how one write is merged into a channel's value, and how a whole
// superstep of node writes is folded into graph state.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "json/json.hpp"

namespace quor::channels {

enum class ReducerKind { Append, Add, LastValue };

// Exact bytes: "append" and "add"; every other name, the empty one included, is LastValue.
ReducerKind reducer_kind(std::string_view name);

// Merges `update` into `current`. Both are taken shallowly and may be reused in the
// result (an array held in `current` may be grown in place), so the caller must drop
// its own copies of them. Never fails.
json::JsonDocument reduce_value(ReducerKind kind, json::JsonDocument current,
                                json::JsonDocument update, json::Arena& arena);
json::JsonDocument reduce_value(std::string_view name, json::JsonDocument current,
                                json::JsonDocument update, json::Arena& arena);

// One write: `update_json` merged into `current_json`, as compact JSON text.
Result<Buffer> reduce_channel(std::string_view reducer, std::string_view current_json,
                              std::string_view update_json);

// A superstep's node updates (an array of objects or nulls) folded into the state object
// in array order, each write through its channel's reducer ("last_value" by default).
Result<Buffer> advance_superstep(std::string_view state_json, std::string_view reducers_json,
                                 std::string_view updates_json);

}  // namespace quor::channels
