// Float layout: the shortest digits that read back as the same double, laid out as the
// writer prints floats.
#pragma once

namespace quor::json::detail {

// Float layout of `d` (finite or not) into `out`, which must have room for 64 bytes.
char* format_double(double d, char* out);
// Both layouts with a comma between; room for 128 bytes.
char* format_double_pair(double a, double b, char* out);

}  // namespace quor::json::detail
