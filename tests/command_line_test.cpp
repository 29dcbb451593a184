#include "command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace interlace {
namespace {

TEST(ReadDecimal, ReadsLikeAPercentDConversion) {
  const struct {
    const char* text;
    std::optional<std::int32_t> value;
  } cases[] = {
      {"12", 12},       {"12px", 12},     {"4x", 4},        {" 7", 7},
      {"\t\n 9", 9},    {"+3", 3},        {"-5", -5},       {"007", 7},
      {"", std::nullopt}, {"px", std::nullopt}, {"-", std::nullopt}, {"+ 3", std::nullopt},
      {"x12", std::nullopt}, {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"99999999999999999999", 2147483647}, {"-99999999999999999999", -2147483647 - 1},
  };
  for (const auto& c : cases) EXPECT_EQ(read_decimal(c.text), c.value) << '"' << c.text << '"';
}

std::optional<RunSettings> parse(std::vector<const char*> args) {
  args.insert(args.begin(), "interlace");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(ParseCommandLine, TakesArgumentsOneThreeAndSix) {
  const auto settings = parse({"out/scene", "text", "4x", "nope", "nope", "300dpi", "real", "extra"});
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->base_name, "out/scene");
  EXPECT_EQ(settings->view_count, 4);
  EXPECT_EQ(settings->print_dpi, 300);
}

TEST(ParseCommandLine, RefusesWhatCantBeRun) {
  const struct {
    std::vector<const char*> args;
    bool accepted;
  } cases[] = {
      {{"s", "t", "4", "0", "0", "300"}, false},             // six arguments
      {{}, false},
      {{"s", "t", "4", "0", "0", "300", "0"}, true},
      {{"s", "t", "1", "0", "0", "0", "0"}, true},
      {{"s", "t", "100", "0", "0", "0", "0"}, true},
      {{"s", "t", "0", "0", "0", "300", "0"}, false},
      {{"s", "t", "101", "0", "0", "300", "0"}, false},
      {{"s", "t", "-4", "0", "0", "300", "0"}, false},
      {{"s", "t", "four", "0", "0", "300", "0"}, false},
      {{"s", "t", "4", "0", "0", "dpi", "0"}, false},
      {{"s", "t", "4", "0", "0", "-1", "0"}, false},
      {{"s", "t", "4", "0", "0", "54546193", "0"}, true},   // 2147483618 dots per metre
      {{"s", "t", "4", "0", "0", "54546194", "0"}, false},  // 2147483658: past the signed field
      {{"", "", "4", "", "", "72", ""}, true},             // unread arguments may be empty
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const char* a : c.args) joined += std::string("[") + a + "]";
    EXPECT_EQ(parse(c.args).has_value(), c.accepted) << joined;
  }
}

}  // namespace
}  // namespace interlace
