// SPDX-License-Identifier: Apache-2.0
#include "base64.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

TEST(Base64, EncodesRfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"abcd", "YWJjZA=="},
      {"\xFF", "/w=="},
      {"\xFF\xFF", "//8="},  // missing bits behind the last byte are 0
  };
  for (const auto& [input, encoded] : vectors) {
    SecretText out{std::string_view("stale")};
    ASSERT_TRUE(encode_base64(input, &out)) << input;
    EXPECT_EQ(out.view(), encoded) << input;
  }
}

TEST(Base64, EncodesEveryHighByteAlike) {
  // All of 0x80..0xFF in runs of 1, 2 and 3 bytes, so every group position
  // and both paddings see high bits.
  for (int width = 1; width <= 3; ++width) {
    for (int first = 0x80; first <= 0xFF; ++first) {
      std::string input;
      for (int i = 0; i < width; ++i)
        input += static_cast<char>(0x80 + (first - 0x80 + 37 * i) % 128);
      SecretText out;
      ASSERT_TRUE(encode_base64(input, &out));
      EXPECT_EQ(out.view(), base64(input)) << "width " << width << " first " << first;
    }
  }
}

}  // namespace
