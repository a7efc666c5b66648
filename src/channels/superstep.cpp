#include <string>
#include <string_view>
#include <unordered_map>

#include "channels/channels.hpp"
#include "common/result.hpp"
#include "json/json.hpp"

namespace quor::channels {
namespace {

using json::Value;

// Channel name -> reducer, resolved once per entry rather than once per write.
class ReducerTable {
 public:
  explicit ReducerTable(const json::StringPairs& pairs) {
    kinds_.reserve(pairs.size());
    for (const auto& [channel, reducer] : pairs) {
      kinds_.insert_or_assign(channel, reducer_kind(reducer));  // later duplicates win
    }
  }

  ReducerKind find(std::string_view channel) const {
    if (kinds_.empty()) return ReducerKind::LastValue;
    auto it = kinds_.find(channel);
    return it == kinds_.end() ? ReducerKind::LastValue : it->second;
  }

 private:
  std::unordered_map<std::string_view, ReducerKind> kinds_;
};

}  // namespace

Result<std::string> advance_superstep(std::string_view state_json,
                                      std::string_view reducers_json,
                                      std::string_view updates_json) {
  json::Arena arena;
  json::Parsed<Value> state = json::parse_json(state_json, json::InputMode::Text, arena);
  if (!state.ok) return Error::value(state.error.text());
  if (!state.value.is_object()) return Error::value("state must be a JSON object");

  json::Parsed<json::StringPairs> pairs = json::read_string_map(reducers_json, arena);
  if (!pairs.ok) return Error::value(pairs.error.text());
  const ReducerTable reducers(pairs.value);

  json::Parsed<Value> updates = json::read_value_list(updates_json, arena);
  if (!updates.ok) return Error::value(updates.error.text());

  const Value& list = updates.value;
  for (size_t i = 0; i < list.size(); ++i) {
    const Value& node = list.items[i];
    if (node.is_null()) continue;
    if (!node.is_object()) return Error::value("each node update must be a JSON object or null");
    for (size_t j = 0; j < node.size(); ++j) {
      const json::Member& write = node.members[j];
      ReducerKind kind = reducers.find(write.key.str());
      // The channel's value is taken out of its slot and the result put back, never
      // copied: a long list that every node appends to grows in place. Each written
      // value is used exactly once, so moving it into the state shares nothing.
      Value& slot = json::object_slot(state.value, write.key, arena);
      slot = reduce_value(kind, slot, write.value, arena);
    }
  }

  std::string out;
  out.reserve(state_json.size() + updates_json.size() + 16);
  json::write_json(state.value, out);
  return out;
}

}  // namespace quor::channels
