// The normal form written straight from the text against a read and a write: generated
// documents spelled many ways (whitespace, key order, duplicate keys, escapes, every
// number shape, floats that move on a read), their normal forms, and damaged copies.
// Wherever the direct way gives a text, the reader must accept the input and the writer
// must give the same bytes; on the normal forms themselves it must not give up.
#include <string>
#include <vector>

#include "check.hpp"
#include "json/json.hpp"

namespace json = quor::json;

namespace {

check::Random rng(0x6e6f726d);

const char* pick(std::initializer_list<const char*> items) {
  return items.begin()[rng.below(items.size())];
}

void space(std::string& out, unsigned often) {
  if (rng.below(100) >= often) return;
  static const char kSpace[] = {' ', '\n', '\t', '\r'};
  for (uint64_t n = 1 + rng.below(3); n != 0; --n) out += kSpace[rng.below(4)];
}

std::string number() {
  switch (rng.below(6)) {
    case 0:
      return std::string(rng.word(
          "0 -0 1 -1 18446744073709551615 18446744073709551616 -9223372036854775808 "
          "-9223372036854775809 9999999999999999999 -999999999999999999 12345678901234567890123 "
          "1e2 1E400 -0.0 0.15838287025480557 7.142328006063565e-165 1e-400 1.0 100.0 0.000001 "
          "-0.0000012 0.000012 10.50 1234567890123456.0 123456789012345.0 1e16 0.00001 1e-6 "
          "5e-324 1.7976931348623157e308"));
    case 1:
      return std::to_string(static_cast<int64_t>(rng.next()) >> rng.below(64));
    case 2:
      return std::to_string(rng.next() >> rng.below(64));
    default: {
      std::string s = rng.below(2) ? "-" : "";
      s += std::to_string(rng.below(1000000) >> rng.below(20));
      if (rng.below(3) != 0) {
        s += '.';
        for (uint64_t n = 1 + rng.below(18); n != 0; --n)
          s += static_cast<char>('0' + rng.below(10));
      }
      if (rng.below(3) == 0) {
        s += pick({"e", "E", "e+", "e-", "E-"});
        s += std::to_string(rng.below(330));
      }
      return s;
    }
  }
}

std::string string_token() {
  std::string s = "\"";
  for (uint64_t n = rng.below(rng.below(4) == 0 ? 40 : 8); n != 0; --n) {
    if (rng.below(6) != 0) {
      s += pick({"a", "b", "Z", "_", "0", "\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80", "/",
                 "\x7f", "abcdefghijklmnopqrstuvwxyz"});
    } else {
      s += pick({"\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001b",
                 "\\u001B", "\\u0041", "\\u00e9", "\\u00E9", "\\u20ac", "\\ud83d\\ude00", "\\u007f",
                 "\\u0008"});
    }
  }
  return s + "\"";
}

void value(std::string& out, int depth) {
  uint64_t kind = depth > 4 ? rng.below(4) : rng.below(7);
  switch (kind) {
    case 0:
      out += pick({"null", "true", "false"});
      return;
    case 1:
      out += number();
      return;
    case 2:
    case 3:
      out += string_token();
      return;
    case 4:
    case 5: {
      out += '{';
      uint64_t n = rng.below(6);
      std::vector<std::string> keys;
      for (uint64_t i = 0; i < n; ++i) {
        keys.push_back(rng.below(4) == 0
                           ? string_token()
                           : "\"" + std::string(rng.word("a b B ab _ a\\u0000 \xc3\xa9")) + "\"");
      }
      // Often in order already, as our own writer leaves them.
      if (rng.below(2) == 0) std::sort(keys.begin(), keys.end());
      for (uint64_t i = 0; i < n; ++i) {
        if (i != 0) out += ',';
        space(out, 10);
        out += keys[i];
        space(out, 10);
        out += ':';
        space(out, 10);
        value(out, depth + 1);
        space(out, 10);
      }
      out += '}';
      return;
    }
    default: {
      out += '[';
      uint64_t n = rng.below(6);
      for (uint64_t i = 0; i < n; ++i) {
        if (i != 0) out += ',';
        space(out, 10);
        value(out, depth + 1);
        space(out, 10);
      }
      out += ']';
      return;
    }
  }
}

// Damage that the reader has a message for, or that a byte-mode read refuses.
std::string damaged(std::string s) {
  if (s.empty()) return s;
  size_t at = rng.below(s.size());
  switch (rng.below(5)) {
    case 0:
      return s.substr(0, at);
    case 1:
      s[at] = pick({",", "]", "}", "\"", "\\", "\x01", "\xff", "\xc3", " ", "0", "e", "-", ":"})[0];
      return s;
    case 2:
      return s.insert(at, pick({",", "1", "[", "{", "\"", "\\u", "\\ud800", "x"}));
    case 3:
      return s.erase(at, 1);
    default:
      return std::string(rng.below(130), '[') + s;
  }
}

long compared = 0, direct = 0;

// Returns whether the direct way gave a text.
bool agree(const std::string& text, json::InputMode mode) {
  json::Arena arena;
  auto read = json::parse_json(text, mode, arena);
  quor::Buffer general;
  if (read.ok()) json::write_json(read.value(), general);
  quor::Buffer fast;
  fast.append("pre");
  json::TopMembers top;
  std::vector<json::MemberText>& members = top.list;
  bool ok = json::normalize_json(text, mode, fast, &top);
  ++compared;
  if (!ok) return false;
  ++direct;
  std::string_view got = std::string_view(fast).substr(3);
  check::expect(read.ok(), "direct text for input the reader refuses: %s", text.c_str());
  if (!read.ok()) return true;
  check::expect(got == std::string_view(general), "direct %.*s, written %.*s, input %s",
                static_cast<int>(got.size()), got.data(), static_cast<int>(general.size()),
                general.data(), text.c_str());
  // Each top-level member: its text in the output, and its value's text in the input read
  // and written on its own.
  const json::JsonDocument& doc = read.value();
  if (!doc.is_object()) {
    check::expect(members.empty(), "members of a non-object: %s", text.c_str());
    return true;
  }
  check::expect(members.size() == doc.size(), "member count for %s", text.c_str());
  for (size_t k = 0; k < members.size() && k < doc.size(); ++k) {
    const json::MemberText& m = members[k];
    check::expect(m.key == doc.members()[k].key.str(), "member key %zu of %s", k, text.c_str());
    quor::Buffer member;
    json::write_json(json::JsonDocument::string(m.key.data(), m.key.size(), false), member);
    member.push_back(':');
    json::Arena value_arena;
    auto v = json::parse_json(m.value, mode, value_arena);
    check::expect(v.ok(), "member value reads on its own: %s", text.c_str());
    if (v.ok()) json::write_json(v.value(), member);
    check::expect(got.substr(m.begin, m.end - m.begin) == std::string_view(member),
                  "member text %zu of %s", k, text.c_str());
  }
  return true;
}

}  // namespace

int main() {
  for (int round = 0; round < 40000; ++round) {
    std::string text;
    space(text, 30);
    value(text, rng.below(3) == 0 ? 0 : 2);
    space(text, 30);
    json::InputMode mode = round % 2 ? json::InputMode::Bytes : json::InputMode::Text;
    agree(text, mode);
    // Its normal form, given back: the direct way must take it whole.
    json::Arena arena;
    auto read = json::parse_json(text, json::InputMode::Text, arena);
    if (read.ok()) {
      quor::Buffer normal;
      json::write_json(read.value(), normal);
      std::string n(std::string_view{normal});
      check::expect(agree(n, mode), "direct way gave up on a normal form: %s", n.c_str());
    }
    agree(damaged(text), json::InputMode::Bytes);
  }
  // Lists of large records that share their keys' order (or almost: one key changed or
  // repeated), so that an order worked out for one record is offered to the next.
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> keys;
    for (uint64_t n = 17 + rng.below(12); n != 0; --n) {
      keys.push_back("\"" + std::to_string(rng.below(40)) + pick({"", "a", "\\u0041"}) + "\"");
    }
    std::string text = "[";
    for (uint64_t r = 1 + rng.below(4); r != 0; --r) {
      if (text.size() > 1) text += ',';
      if (rng.below(4) == 0) keys[rng.below(keys.size())] = pick({"\"0\"", "\"zz\"", "\"5a\""});
      text += '{';
      for (size_t k = 0; k < keys.size(); ++k) {
        if (k != 0) text += ',';
        text += keys[k] + ':';
        value(text, 4);
      }
      text += '}';
    }
    text += ']';
    agree(text, json::InputMode::Text);
  }
  // Text whose objects are mostly out of order goes to the reader; a few such objects do not.
  for (int records : {40, 400}) {
    std::string feed = "[";
    for (int k = 0; k < records; ++k)
      feed += k != 0 ? ",{\"b\":[{}],\"a\":2}" : "{\"b\":[{}],\"a\":2}";
    feed += ']';
    check::expect(agree(feed, json::InputMode::Text) == (records < 64), "feed of %d", records);
  }
  check::expect(direct * 2 > compared, "direct way taken %ld of %ld times", direct, compared);
  return check::finish("normalize", compared);
}
