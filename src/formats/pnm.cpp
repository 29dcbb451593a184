#include "formats/pnm.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "saturating.h"
#include "view_problem.h"

namespace interlace {

namespace {

bool is_space(unsigned byte) { return std::isspace(static_cast<int>(byte)) != 0; }
bool is_digit(unsigned byte) { return byte >= '0' && byte <= '9'; }

// The next number of the header from `at`, past white space and comments;
// empty when something else comes first. Values saturate past 32 bits.
std::optional<std::uint64_t> next_number(ByteReader& text, std::uint64_t& at) {
  while (text.has(at) && (is_space(text[at]) || text[at] == '#')) {
    if (text[at] == '#') {
      at = text.find(at, '\n');
    } else {
      ++at;
    }
  }
  if (!text.has(at) || !is_digit(text[at])) return std::nullopt;
  std::uint64_t value = 0;
  for (; text.has(at) && is_digit(text[at]); ++at) value = std::min(value * 10 + (text[at] - '0'), std::uint64_t{1} << 32);
  return value;
}

// The bytes the header says the file needs, or 0 when it can't tell.
std::uint64_t length_needed(const ByteSource& file) {
  ByteReader text(file);
  if (!text.has(1) || text[0] != 'P' || text[1] < '4' || text[1] > '6') return 0;
  const unsigned kind = text[1];
  std::uint64_t values[3] = {0, 0, 1};
  std::uint64_t at = 2;
  for (int field = 0; field < (kind == '4' ? 2 : 3); ++field) {
    const std::optional<std::uint64_t> value = next_number(text, at);
    if (!value) return 0;
    values[field] = *value;
  }
  const std::uint64_t data_start = at + 1;  // one white-space character ends the header
  const std::uint64_t row_bytes = kind == '4' ? (values[0] + 7) / 8
                                              : values[0] * (kind == '6' ? 3 : 1) * (values[2] > 255 ? 2 : 1);
  return saturating_sum(data_start, saturating_product(row_bytes, values[1]));
}


void check_pnm(const ByteSource& file) {
  const std::uint64_t needed = length_needed(file);
  if (file.size() < needed) refuse_truncated(file.size(), needed);
}

}  // namespace

FormatFacts inspect_pnm(const ByteSource& file) {
  check_pnm(file);
  return {};
}

}  // namespace interlace
