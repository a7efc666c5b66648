#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
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
template <class Value>
class ReducerTable {
 public:
  struct Channel {
    ReducerKind kind;
    Value* value;  // the state member's value; null for a channel not (yet) in the state
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

// The reducer table and the node updates, read as every superstep reads them.
struct Writes {
  json::StringPairs reducers;
  JsonDocument updates;  // an array
  size_t count = 0;      // members of all its objects
};
Result<Writes> read_writes(std::string_view reducers_json, std::string_view updates_json,
                           json::Arena& arena) {
  auto pairs = json::read_json_as<json::StringMap>(reducers_json, arena);
  if (!pairs.ok()) return Error::value(pairs.error().text());
  auto updates = json::read_json_as<json::ValueList>(updates_json, arena);
  if (!updates.ok()) return Error::value(updates.error().text());
  Writes writes{std::move(pairs.value()), updates.value()};
  const JsonDocument& list = writes.updates;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list.items()[i].is_object()) writes.count += list.items()[i].size();
  }
  return writes;
}

constexpr const char* kNodeUpdateKind = "each node update must be a JSON object or null";

// A channel's value while a superstep runs on a state in normal form. Most channels are
// never read: a value no write names is copied as its text, a last-value write replaces it
// unread, and appends to a list are kept apart and written after the list's own text. Only
// a value a reducer has to look into is read, from its original text (a float re-read from
// its normal spelling could move).
struct Slot {
  enum class Form : uint8_t { Text, Value, Appended };
  Form form = Form::Value;
  std::string_view source;  // Text: the value's text in the state argument
  std::string_view text;    // Text, Appended: the member's normal text ("key":value)
  JsonDocument value;       // Value: the value; Appended: the items appended so far
};

class TextState {
 public:
  TextState(std::string_view normal, const json::TopMembers& top, json::Arena& arena)
      : arena_(arena), slots_(top.list.size()) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      const json::MemberText& m = top.list[i];
      slots_[i].form = Slot::Form::Text;
      slots_[i].source = m.value;
      slots_[i].text = normal.substr(m.begin, m.end - m.begin);
    }
  }

  Slot& member(size_t i) { return slots_[i]; }

  // Merges one write; false when a value that was checked once cannot be read again.
  bool write(Slot& slot, ReducerKind kind, const JsonDocument& update) {
    if (kind == ReducerKind::LastValue) {
      slot.form = Slot::Form::Value;
      slot.value = update;
      return true;
    }
    if (kind == ReducerKind::Append && slot.form != Slot::Form::Value) {
      if (slot.form == Slot::Form::Text) {
        if (slot.source[0] != '[') return read(slot) && write(slot, kind, update);
        slot.form = Slot::Form::Appended;
        slot.value = JsonDocument::array(nullptr, 0, false);
      }
      if (update.is_array()) {
        json::array_append(slot.value, update.items(), update.size(), arena_);
      } else {
        json::array_append(slot.value, &update, 1, arena_);
      }
      return true;
    }
    if (kind == ReducerKind::Add && slot.form != Slot::Form::Value) {
      // Only a number adds anything; every other current value counts as 0.
      char c = slot.form == Slot::Form::Text ? slot.source[0] : '[';
      if (c == '-' || (c >= '0' && c <= '9')) {
        if (!read(slot)) return false;
      } else {
        slot.value = JsonDocument::null();
      }
    }
    slot.form = Slot::Form::Value;
    slot.value = reduce_value(kind, slot.value, update, arena_);
    return true;
  }

  // "key":value of a member, however its value is held.
  void put(Buffer& out, const JsonDocument& key, const Slot& slot) const {
    if (slot.form == Slot::Form::Text) {
      out.append(slot.text);
      return;
    }
    size_t start = out.size();
    json::write_json(key, out);
    out.push_back(':');
    if (slot.form == Slot::Form::Value) {
      json::write_json(slot.value, out);
      return;
    }
    // The list's own text without its bracket, then the appended items.
    std::string_view list = slot.text.substr(out.size() - start);
    out.append(list.substr(0, list.size() - 1));
    const JsonDocument& items = slot.value;
    for (size_t i = 0; i < items.size(); ++i) {
      if (i != 0 || list.size() > 2) out.push_back(',');
      json::write_json(items.items()[i], out);
    }
    out.push_back(']');
  }

 private:
  bool read(Slot& slot) {
    auto value = json::parse_json(slot.source, json::InputMode::Text, arena_);
    if (!value.ok()) return false;
    slot.form = Slot::Form::Value;
    slot.value = value.value();
    return true;
  }

  json::Arena& arena_;
  std::vector<Slot> slots_;
};

// The superstep on a state already written in normal form (`normal`, its members `top`).
// Gives nothing back when a value cannot be read again, which a checked text never causes.
std::optional<Result<Buffer>> advance_text(std::string_view normal, const json::TopMembers& top,
                                           std::string_view reducers_json,
                                           std::string_view updates_json) {
  json::Arena arena;
  auto read = read_writes(reducers_json, updates_json, arena);
  if (!read.ok()) return Result<Buffer>(read.error());
  const Writes& writes = read.value();
  TextState state(normal, top, arena);
  ReducerTable<Slot> channels(top.list.size() + writes.reducers.size() + writes.count);
  for (size_t i = 0; i < top.list.size(); ++i) {
    channels.find_or_add(top.list[i].key).value = &state.member(i);
  }
  for (const auto& [channel, reducer] : writes.reducers) {
    channels.find_or_add(channel).kind = reducer_kind(reducer);  // later duplicates win
  }
  // Channels this superstep creates, in a block that holds every write, so it never moves.
  std::vector<std::pair<JsonDocument, Slot>> created(writes.count);
  size_t n_created = 0;
  const JsonDocument& list = writes.updates;
  for (size_t i = 0; i < list.size(); ++i) {
    const JsonDocument& node = list.items()[i];
    if (node.is_null()) continue;
    if (!node.is_object()) return Result<Buffer>(Error::value(kNodeUpdateKind));
    for (size_t j = 0; j < node.size(); ++j) {
      const JsonMember& write = node.members()[j];
      auto& channel = channels.find_or_add(write.key.str());
      if (channel.value == nullptr) {
        created[n_created].first = write.key;
        channel.value = &created[n_created++].second;
      }
      if (!state.write(*channel.value, channel.kind, write.value)) return std::nullopt;
    }
  }
  std::sort(created.begin(), created.begin() + static_cast<ptrdiff_t>(n_created),
            [](const auto& a, const auto& b) {
              return bytes::compare(a.first.str(), b.first.str()) < 0;
            });

  Buffer out;
  out.reserve(normal.size() + updates_json.size() + 16);
  out.push_back('{');
  size_t i = 0, j = 0, n = top.list.size();
  while (i < n || j < n_created) {
    if (i + j != 0) out.push_back(',');
    if (j == n_created || (i < n && bytes::compare(top.list[i].key, created[j].first.str()) < 0)) {
      const json::MemberText& m = top.list[i];
      state.put(out, JsonDocument::string(m.key.data(), m.key.size(), false), state.member(i));
      ++i;
    } else {
      state.put(out, created[j].first, created[j].second);
      ++j;
    }
  }
  out.push_back('}');
  return Result<Buffer>(std::move(out));
}

}  // namespace

Result<Buffer> advance_superstep(std::string_view state_json, std::string_view reducers_json,
                                 std::string_view updates_json) {
  // A state in normal form, or one that only its whitespace and key order keep from it,
  // is worked on as text; anything else (malformed, not an object) is read whole.
  {
    Buffer normal;
    normal.reserve(state_json.size() + 16);
    json::TopMembers top;
    if (json::normalize_json(state_json, json::InputMode::Text, normal, &top) &&
        normal.data()[0] == '{') {
      auto result = advance_text(normal, top, reducers_json, updates_json);
      if (result) return std::move(*result);
    }
  }
  json::Arena arena;
  auto state = json::parse_json(state_json, json::InputMode::Text, arena);
  if (!state.ok()) return Error::value(state.error().text());
  if (!state.value().is_object()) return Error::value("state must be a JSON object");

  auto read = read_writes(reducers_json, updates_json, arena);
  if (!read.ok()) return read.error();
  const JsonDocument& list = read.value().updates;
  size_t writes = read.value().count;
  // The state's members go in first: a lookup by hash touches one or two cache lines,
  // where a binary search over the ordered members waits on a dozen in turn.
  JsonDocument& object = state.value();
  ReducerTable<JsonDocument> channels(object.size() + read.value().reducers.size() + writes);
  for (size_t i = 0; i < object.size(); ++i) {
    channels.find_or_add(object.members()[i].key.str()).value = &object.members()[i].value;
  }
  for (const auto& [channel, reducer] : read.value().reducers) {
    channels.find_or_add(channel).kind = reducer_kind(reducer);  // later duplicates win
  }

  // Channels that no state member holds yet; their values live here until the end, in a
  // block that holds every write, so it never moves.
  JsonMember* created = arena.allocate_array<JsonMember>(writes);
  size_t n_created = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const JsonDocument& node = list.items()[i];
    if (node.is_null()) continue;
    if (!node.is_object()) return Error::value(kNodeUpdateKind);
    for (size_t j = 0; j < node.size(); ++j) {
      const JsonMember& write = node.members()[j];
      auto& channel = channels.find_or_add(write.key.str());
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
