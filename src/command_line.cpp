#include "command_line.h"

#include <limits>

#include "image_size.h"

namespace interlace {

namespace {

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::int32_t> read_decimal(const char* text) {
  while (is_c_space(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (!is_digit(*text)) return std::nullopt;

  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; is_digit(*text); ++text) {
    if (magnitude < kLimit) magnitude = magnitude * 10 + (*text - '0');
  }
  if (magnitude > kLimit) magnitude = kLimit;
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

std::optional<RunSettings> parse_command_line(int argc, const char* const* argv, CommandLineProblem* problem) {
  const auto refuse = [problem](CommandLineProblem why) -> std::optional<RunSettings> {
    if (problem != nullptr) *problem = why;
    return std::nullopt;
  };
  if (argc < kArgumentCount + 1) return refuse(CommandLineProblem::TooFewArguments);
  const std::optional<std::int32_t> views = read_decimal(argv[3]);
  const std::optional<std::int32_t> dpi = read_decimal(argv[6]);
  if (!views) return refuse(CommandLineProblem::NoViewCount);
  if (!dpi) return refuse(CommandLineProblem::NoResolution);
  if (*views < 1 || *views > kMaxViews) return refuse(CommandLineProblem::ViewCountOutOfRange);
  if (!dots_per_metre(*dpi)) return refuse(CommandLineProblem::ResolutionOutOfRange);
  if (problem != nullptr) *problem = CommandLineProblem::None;
  return RunSettings{argv[1], *views, *dpi};
}

}  // namespace interlace
