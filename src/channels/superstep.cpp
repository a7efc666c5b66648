#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channels.hpp"
#include "common/bytes.hpp"
#include "common/name_table.hpp"
#include "common/result.hpp"
#include "json/json.hpp"

namespace quor::channels {
namespace {

using json::JsonDocument;
using json::JsonMember;

// Every channel the call names, in the reducer table or in a write, found by name in
// constant time: its reducer and, once it has been written, where its value lives.
class ReducerTable {
 public:
  struct Channel {
    ReducerKind kind;
    JsonDocument* value;  // the state member's value; null for a channel not (yet) in the state
  };

  // `most` bounds the names: the table never grows, and the channels' block never moves,
  // so references handed out stay valid.
  explicit ReducerTable(size_t most) : names_(most), channels_(std::make_unique<Channel[]>(most)) {}

  Channel& find_or_add(std::string_view name) {
    uint32_t id = names_.intern(name, names_.hash(name));
    if (id == count_) channels_[count_++] = {ReducerKind::LastValue, nullptr};
    return channels_[id];
  }

 private:
  NameTable names_;
  std::unique_ptr<Channel[]> channels_;
  size_t count_ = 0;
};

// The state with the channels created by this superstep merged in, in key order.
void add_members(JsonDocument& state, JsonMember* created, size_t m, json::Arena& arena) {
  std::sort(created, created + m, [](const JsonMember& a, const JsonMember& b) {
    return bytes::compare(a.key.str(), b.key.str()) < 0;
  });
  size_t n = state.size();
  JsonMember* merged = arena.allocate_array<JsonMember>(n + m);
  size_t i = 0, j = 0, k = 0;
  while (i < n && j < m) {
    merged[k++] = bytes::compare(state.members()[i].key.str(), created[j].key.str()) < 0
                      ? state.members()[i++]
                      : created[j++];
  }
  while (i < n) merged[k++] = state.members()[i++];
  while (j < m) merged[k++] = created[j++];
  state = JsonDocument::object(merged, n + m, false);
}

}  // namespace

Result<Buffer> advance_superstep(std::string_view state_json, std::string_view reducers_json,
                                 std::string_view updates_json) {
  json::Arena arena;
  auto state = json::parse_json(state_json, json::InputMode::Text, arena);
  if (!state.ok()) return Error::value(state.error().text());
  if (!state.value().is_object()) return Error::value("state must be a JSON object");

  auto pairs = json::read_json_as<json::StringMap>(reducers_json, arena);
  if (!pairs.ok()) return Error::value(pairs.error().text());

  auto updates = json::read_json_as<json::ValueList>(updates_json, arena);
  if (!updates.ok()) return Error::value(updates.error().text());

  const JsonDocument& list = updates.value();
  size_t writes = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list.items()[i].is_object()) writes += list.items()[i].size();
  }
  // The state's members go in first: a lookup by hash touches one or two cache lines,
  // where a binary search over the ordered members waits on a dozen in turn.
  JsonDocument& object = state.value();
  ReducerTable channels(object.size() + pairs.value().size() + writes);
  for (size_t i = 0; i < object.size(); ++i) {
    channels.find_or_add(object.members()[i].key.str()).value = &object.members()[i].value;
  }
  for (const auto& [channel, reducer] : pairs.value()) {
    channels.find_or_add(channel).kind = reducer_kind(reducer);  // later duplicates win
  }

  // Channels that no state member holds yet; their values live here until the end, in a
  // block that holds every write, so it never moves.
  JsonMember* created = arena.allocate_array<JsonMember>(writes);
  size_t n_created = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const JsonDocument& node = list.items()[i];
    if (node.is_null()) continue;
    if (!node.is_object()) return Error::value("each node update must be a JSON object or null");
    for (size_t j = 0; j < node.size(); ++j) {
      const JsonMember& write = node.members()[j];
      ReducerTable::Channel& channel = channels.find_or_add(write.key.str());
      if (channel.value == nullptr) {  // a channel this superstep creates
        created[n_created] = {write.key, JsonDocument::null()};
        channel.value = &created[n_created++].value;
      }
      // The channel's value is taken out of its slot and the result put back, never
      // copied: a long list that every node appends to grows in place. Each written
      // value is used exactly once, so moving it into the state shares nothing.
      *channel.value = reduce_value(channel.kind, *channel.value, write.value, arena);
    }
  }
  if (n_created != 0) add_members(object, created, n_created, arena);

  Buffer out;
  out.reserve(state_json.size() + updates_json.size() + 16);
  json::write_json(object, out);
  return out;
}

}  // namespace quor::channels
