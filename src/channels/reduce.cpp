#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "channels/channels.hpp"
#include "common/result.hpp"
#include "json/json.hpp"

namespace quor::channels {
namespace {

using json::JsonDocument;
using json::Kind;

// A growable one-element block, so the appends that usually follow stay amortised.
JsonDocument single(const JsonDocument& item, json::Arena& arena) {
  JsonDocument* block = arena.allocate_array<JsonDocument>(1);
  new (block) JsonDocument(item);
  return JsonDocument::array(block, 1, /*growable=*/true);
}

JsonDocument append(const JsonDocument& current, const JsonDocument& update, json::Arena& arena) {
  JsonDocument result;
  if (current.is_array() && current.size() > 0) {
    result = current;
  } else if (!current.is_null() && !current.is_array()) {
    result = single(current, arena);
  } else if (update.is_array()) {
    return update;  // nothing to splice into: the update is the whole list
  } else {
    return single(update, arena);
  }
  if (!update.is_array()) {
    json::array_append(result, &update, 1, arena);
  } else if (update.size() > 0) {
    json::array_append(result, update.items(), update.size(), arena);
  }
  return result;
}

double numeric(const JsonDocument& v) {
  switch (v.kind()) {
    case Kind::UInt:
      return static_cast<double>(v.u());
    case Kind::NegInt:
      return static_cast<double>(v.i());
    case Kind::Float:
      return v.d();
    default:
      return 0.0;
  }
}

JsonDocument add(const JsonDocument& current, const JsonDocument& update) {
  double sum = numeric(current) + numeric(update);
  if (!std::isfinite(sum)) return JsonDocument::null();
  // Integral sums come back as integers where a 64-bit integer holds them exactly;
  // beyond that range the double is the truer answer than a clamped integer.
  if (sum != std::trunc(sum) || sum < -0x1p63 || sum >= 0x1p64) return JsonDocument::real(sum);
  if (sum < 0) return JsonDocument::negint(static_cast<int64_t>(sum));
  return JsonDocument::uint(static_cast<uint64_t>(sum));  // -0.0 lands here as 0
}

}  // namespace

ReducerKind reducer_kind(std::string_view name) {
  if (name == "append") return ReducerKind::Append;
  if (name == "add") return ReducerKind::Add;
  return ReducerKind::LastValue;
}

JsonDocument reduce_value(ReducerKind kind, JsonDocument current, JsonDocument update,
                          json::Arena& arena) {
  switch (kind) {
    case ReducerKind::Append:
      return append(current, update, arena);
    case ReducerKind::Add:
      return add(current, update);
    case ReducerKind::LastValue:
      break;
  }
  return update;
}

JsonDocument reduce_value(std::string_view name, JsonDocument current, JsonDocument update,
                          json::Arena& arena) {
  return reduce_value(reducer_kind(name), current, update, arena);
}

Result<Buffer> reduce_channel(std::string_view reducer, std::string_view current_json,
                              std::string_view update_json) {
  json::Arena arena;
  // The update is read first, so its message wins when both texts are malformed.
  auto update = json::parse_json(update_json, json::InputMode::Text, arena);
  if (!update.ok()) return Error::value(update.error().text());
  auto current = json::parse_json(current_json, json::InputMode::Text, arena);
  if (!current.ok()) return Error::value(current.error().text());

  JsonDocument result = reduce_value(reducer, current.value(), update.value(), arena);
  Buffer out;
  out.reserve(current_json.size() + update_json.size() + 64);
  json::write_json(result, out);
  return out;
}

}  // namespace quor::channels
