// libFuzzer harness for the JSON reader and writer and the checkpoint decoder, with no
// interpreter. Properties: an accepted text written back and read again gives the same
// text (for float-free documents, whose numbers cannot move on a read); the text and byte
// modes agree on valid UTF-8; every error is a documented message placed inside the input;
// the checkpoint decoder is the byte-mode reader plus its header checks; wherever the fast
// number path gives a value, the exact path gives the same value and end; wherever the
// normal form is written straight from the text, the reader accepts the text and writes
// the same bytes.
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "../../native/check.hpp"
#include "checkpoint/checkpoint.hpp"
#include "json/json.hpp"
#include "json/numbers.hpp"

namespace {

using namespace quor;
using check::require;

void check_error(const json::JsonError& e, std::string_view input) {
  bool known = false;
  // A whole-text read never fails with a type mismatch, whose message is built on the spot.
  for (int m = 0; m < json::detail::kInvalidType; ++m) {
    known = known || e.message == json::detail::message_text(static_cast<json::detail::Msg>(m));
  }
  require(known, "documented message");
  size_t line = 1, column_limit = 0, current = 0;
  for (char c : input) {
    if (c == '\n') {
      ++line;
      current = 0;
    } else {
      ++current;
    }
    column_limit = column_limit > current ? column_limit : current;
  }
  require(e.line >= 1 && e.line <= line, "error line inside the input");
  require(e.column <= column_limit + 1, "error column inside the input");
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      unsigned char d = s[i + k];
      if ((d >> 6) != 2) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n;
  }
  return true;
}

std::string write(const json::JsonDocument& v) {
  Buffer out;
  json::write_json(v, out);
  return std::string(std::string_view(out));
}

void check_number_paths(std::string_view input) {
  const char* end = input.data() + input.size();
  size_t tried = 0;
  for (const char* p = input.data(); p != end && tried < 64; ++p) {
    if (*p != '-' && !json::detail::is_digit(*p)) continue;
    ++tried;
    json::JsonDocument fast, exact;
    const char* fast_end = json::detail::read_number_fast(p, end, fast);
    if (fast_end == nullptr) continue;
    json::detail::Step step = json::detail::read_number_exact(p, end, exact);
    require(step.end == fast_end, "number paths end alike");
    require(std::memcmp(&fast, &exact, sizeof fast) == 0, "number paths agree");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  json::Arena arena;
  auto bytes = json::parse_json(input, json::InputMode::Bytes, arena);
  std::string written;
  if (bytes.ok()) {
    written = write(bytes.value());
    json::Arena again_arena;
    auto again = json::parse_json(written, json::InputMode::Text, again_arena);
    require(again.ok(), "written text reads back");
    if (written.find_first_of(".eE") == std::string::npos) {
      require(write(again.value()) == written, "float-free text is a fixed point");
    }
  } else {
    check_error(bytes.error(), input);
  }
  if (valid_utf8(input)) {
    json::Arena text_arena;
    auto text = json::parse_json(input, json::InputMode::Text, text_arena);
    require(text.ok() == bytes.ok(), "text and byte modes agree");
    if (text.ok()) require(write(text.value()) == written, "text and byte modes write alike");
    if (!text.ok())
      require(text.error().text() == bytes.error().text(), "same error in both modes");
  }
  check_number_paths(input);
  Buffer direct;
  if (json::normalize_json(input, json::InputMode::Bytes, direct)) {
    require(bytes.ok(), "direct normal form only for accepted text");
    require(std::string_view(direct) == written, "direct normal form is the written text");
  }
  std::string blob = "QUOR\x01";
  blob.append(input);
  auto decoded = checkpoint::decode_checkpoint(
      std::span(reinterpret_cast<const uint8_t*>(blob.data()), blob.size()));
  require(decoded.ok() == bytes.ok(), "decoder accepts what the byte reader accepts");
  if (decoded.ok())
    require(std::string_view(decoded.value()) == written, "decoder writes what the reader read");
  return 0;
}
