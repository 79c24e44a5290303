// The one rule for paths from peers, as a table of what a hostile or careless peer might send.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "core/RelPath.h"

namespace {

using Pondar::Core::NormalizeRelPath;
using namespace std::string_literals;

struct TCase {
  std::string Sent;
  const char* Taken;  // nullptr: refused
};

// Names each case by what is sent, with unprintable bytes as \xNN.
void PrintTo(const TCase& ACase, std::ostream* AOut) {
  *AOut << '"';
  for (const unsigned char c : ACase.Sent) {
    if (c >= 0x20 && c < 0x7F) {
      *AOut << c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      *AOut << hex;
    }
  }
  *AOut << '"';
}

class RelPathTest : public ::testing::TestWithParam<TCase> {};

TEST_P(RelPathTest, AcceptsOnlyPathsThatStayInsideTheFolder) {
  const TCase& c = GetParam();
  std::string out = "untouched";
  const bool accepted = NormalizeRelPath(c.Sent, out);
  if (c.Taken) {
    EXPECT_TRUE(accepted);
    EXPECT_EQ(out, c.Taken);
  } else {
    EXPECT_FALSE(accepted);
    EXPECT_EQ(out, "untouched");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelPathTest,
    ::testing::Values(
        // Accepted, in our form.
        TCase{"a.txt", "a.txt"}, TCase{"docs/a.txt", "docs/a.txt"},
        TCase{"x\\y.txt", "x/y.txt"},  // a Windows peer's separator
        TCase{"a\\b/c\\d", "a/b/c/d"}, TCase{".hidden/.x", ".hidden/.x"},
        TCase{"\xC3\xA9t\xC3\xA9/caf\xC3\xA9", "\xC3\xA9t\xC3\xA9/caf\xC3\xA9"},
        TCase{"C:/x", "C:/x"},  // only a name on this side
        // Refused.
        TCase{"", nullptr}, TCase{"..", nullptr}, TCase{"../x", nullptr},
        TCase{"a/../../x", nullptr}, TCase{"a\\..\\x", nullptr}, TCase{"/etc/passwd", nullptr},
        TCase{"a..b.txt", nullptr}, TCase{"a.b/c..", nullptr},  // every peer refuses ".." anywhere
        TCase{"\\x", nullptr}, TCase{"a//b", nullptr}, TCase{"a/", nullptr}, TCase{"a\\", nullptr},
        TCase{".", nullptr}, TCase{"./a", nullptr}, TCase{"a/./b", nullptr},
        TCase{"a\0b.txt"s, nullptr}, TCase{"a.txt\0"s, nullptr}));

}  // namespace
