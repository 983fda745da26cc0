// SPDX-License-Identifier: Apache-2.0
#include "base64.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

struct Vector {
  std::string input;
  std::string encoded;
};

TEST(Base64, EncodesRfc4648VectorsAndReportsLength) {
  const Vector vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abcd", "YWJjZA=="},
  };
  for (const Vector& v : vectors) {
    SecretText out;
    std::size_t length = 99;
    ASSERT_EQ(util_encodeBase64(v.input.c_str(), &out, &length), 0) << v.input;
    EXPECT_EQ(out.view(), v.encoded) << v.input;
    EXPECT_EQ(length, v.encoded.size()) << v.input;
  }
}

TEST(Base64, EncodesEveryHighByteAlikeWithOrWithoutLength) {
  // All of 0x80..0xFF in runs of 1, 2 and 3 bytes, so every group position
  // and both paddings see high bits.
  for (int width = 1; width <= 3; ++width) {
    for (int first = 0x80; first <= 0xFF; ++first) {
      std::string input;
      for (int i = 0; i < width; ++i) input += static_cast<char>(0x80 + (first - 0x80 + 37 * i) % 128);
      SecretText out;
      ASSERT_EQ(util_encodeBase64(input.c_str(), &out), 0);
      EXPECT_EQ(out.view(), base64(input)) << "width " << width << " first " << first;
    }
  }
}

TEST(Base64, RejectsMissingArguments) {
  SecretText out{std::string_view("stale")};
  std::size_t length = 7;
  EXPECT_EQ(util_encodeBase64(nullptr, &out, &length), -1);
  EXPECT_EQ(out.view(), "stale");  // nothing written
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(util_encodeBase64("abc", nullptr, &length), -1);
  EXPECT_EQ(z_GetVal(nullptr, 3, 0), 0u);
}

TEST(Base64, GroupsTakeMissingBitsAsZero) {
  const unsigned char bytes[] = {0xFF, 0xFF, 0xFF};
  // One byte: 111111 11|0000 -> 63, 48.
  EXPECT_EQ(z_GetVal(bytes, 1, 0), 63u);
  EXPECT_EQ(z_GetVal(bytes, 1, 1), 48u);
  // Two bytes: the third group takes 1111 then two zero bits.
  EXPECT_EQ(z_GetVal(bytes, 2, 2), 60u);
  EXPECT_EQ(z_GetVal(bytes, 3, 3), 63u);
}

}  // namespace
