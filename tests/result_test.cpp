#include "result.hpp"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

namespace kelvaro {
namespace {

Result<int> parse_digit(char c) {
  if (c < '0' || c > '9') {
    return unexpected(std::string("not a digit: ") + c);
  }
  return c - '0';
}

TEST(Result, CarriesValueOrError) {
  auto ok = parse_digit('7');
  auto bad = parse_digit('x');

  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 7);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "not a digit: x");
}

TEST(Result, SameTypeForValueAndError) {
  Result<std::string> value = std::string("text");
  Result<std::string> error = unexpected(std::string("broken"));

  EXPECT_TRUE(value.has_value());
  EXPECT_EQ(value.value(), "text");
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(error.error(), "broken");
}

TEST(Result, VoidSpecialisation) {
  Result<void, std::error_code> ok;
  Result<void, std::error_code> bad =
      unexpected(std::make_error_code(std::errc::permission_denied));

  EXPECT_TRUE(ok);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), std::errc::permission_denied);
}

}  // namespace
}  // namespace kelvaro
