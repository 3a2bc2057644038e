// Tests of the request field splitter.
#include "extract_field.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

std::string field(std::string_view request, size_t index, size_t *length = nullptr) {
  std::array<char, 128> buf;
  buf.fill('x');
  size_t n = extractField(buf, index, request);
  if (length != nullptr) *length = n;
  return std::string(buf.data());
}

TEST(ExtractField, SplitsOnHashes) {
  EXPECT_EQ("getSnmpData", field("getSnmpData#12#1.3.6", 0));
  EXPECT_EQ("12", field("getSnmpData#12#1.3.6", 1));
  EXPECT_EQ("1.3.6", field("getSnmpData#12#1.3.6", 2));
  EXPECT_EQ("", field("getSnmpData#12#1.3.6", 3));
  EXPECT_EQ("hello", field("hello#there", 0));
}

TEST(ExtractField, EmptyFields) {
  EXPECT_EQ("", field("", 0));
  EXPECT_EQ("", field("#", 0));
  EXPECT_EQ("", field("#", 1));
  EXPECT_EQ("", field("a##b", 1));
  EXPECT_EQ("b", field("a##b", 2));
}

TEST(ExtractField, EndsAtNul) {
  std::string request("getHostName\0#junk", 17);
  EXPECT_EQ("getHostName", field(request, 0));
  EXPECT_EQ("", field(request, 1));
}

TEST(ExtractField, LongFieldIsCutTo127) {
  std::string long_field(300, 'a');
  size_t n = 0;
  EXPECT_EQ(std::string(127, 'a'), field(long_field + "#x", 0, &n));
  EXPECT_EQ(127u, n);
  EXPECT_EQ("x", field(long_field + "#x", 1));
}

TEST(ExtractField, TinyDestinationStaysTerminated) {
  std::array<char, 1> one{'x'};
  EXPECT_EQ(0u, extractField(one, 0, "abc"));
  EXPECT_EQ('\0', one[0]);
}

}  // namespace
