// Log captions: their exact UTF-8 bytes and the placeholder rule that fills them.
#include "core/Captions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

using namespace Pondar::Core;
namespace C = Pondar::Core::Captions;

// ---- FormatCaption ----

TEST(FormatCaptionTest, NoArguments_CaptionUnchangedWithPercent) {
  EXPECT_EQ(FormatCaption("100% sure %s %"), "100% sure %s %");
  EXPECT_EQ(FormatCaption(C::UpToDate), "\xE2\x9C\x93 Up to date");
  EXPECT_EQ(FormatCaption(C::PeerFound), "\xE2\x97\x8F % (%)");
  EXPECT_EQ(FormatCaption(""), "");
}

TEST(FormatCaptionTest, TooFewArguments_SurplusPercentDropped) {
  EXPECT_EQ(FormatCaption(C::PeerFound, {"wren"}), "\xE2\x97\x8F wren ()");
  EXPECT_EQ(FormatCaption("a%b%c%d", {"X"}), "aXbcd");
}

TEST(FormatCaptionTest, ClockDrift_TextAndIntegers) {
  EXPECT_EQ(FormatCaption(C::ClockDrift, {"wren", int64_t{7}, int64_t{5}}),
            "\xE2\x9A\xA0 wren - clock drift 7s exceeds 5s limit");
}

TEST(FormatCaptionTest, Integers_PlainDecimalWithMinus) {
  EXPECT_EQ(FormatCaption(C::FilesCount, {int64_t{-42}}), "\xE2\x96\xAA -42 files");
  EXPECT_EQ(FormatCaption("%", {int64_t{0}}), "0");
  EXPECT_EQ(FormatCaption("%|%", {std::numeric_limits<int64_t>::min(),
                                  std::numeric_limits<int64_t>::max()}),
            "-9223372036854775808|9223372036854775807");
  EXPECT_EQ(FormatCaption("%", {int64_t{1234567}}), "1234567");  // no thousands separator
}

TEST(FormatCaptionTest, LeftoverArguments_Ignored) {
  EXPECT_EQ(FormatCaption(C::PeerLost, {"wren", "owl", int64_t{3}}), "\xE2\x97\x8B wren");
  EXPECT_EQ(FormatCaption(C::Ready, {"unused"}), "\xE2\x96\xB6 Ready");
}

TEST(FormatCaptionTest, TextArguments_InsertedVerbatim) {
  // A "%" inside an argument is not a placeholder; empty texts leave nothing.
  EXPECT_EQ(FormatCaption("% and %", {"50%", "x"}), "50% and x");
  EXPECT_EQ(FormatCaption(C::LogLine, {"", ""}), "[] ");
  EXPECT_EQ(FormatCaption(C::LogLine, {"12:00:01", "\xE2\x96\xB6 Ready"}),
            "[12:00:01] \xE2\x96\xB6 Ready");
  EXPECT_EQ(FormatCaption(C::Downloaded, {"docs/\xC3\xA9t\xC3\xA9.txt", "1.5 KB"}),
            "  \xE2\x86\x93 docs/\xC3\xA9t\xC3\xA9.txt (1.5 KB)");
}

TEST(FormatCaptionTest, TextArguments_ControlsAndBrokenUtf8Escaped_TextOfAnyScriptKept) {
  struct TCase {
    const char* What;
    std::string Text;
    std::string Shown;
  };
  const std::string same = "";  // shown as it is
  const TCase cases[] = {
      {"letters and symbols", "J\xC3\xBCrgen \xE2\x9C\x93 \xF0\x9F\x98\x80 a\\b\xC2\xA0", same},
      {"a forged line", "a\n[12:00:00] \xE2\x97\x8F b", "a\\x0a[12:00:00] \xE2\x97\x8F b"},
      {"return, tab, NUL", std::string("a\rb\tc\0", 6), "a\\x0db\\x09c\\x00"},
      {"a terminal's escape and DEL", "\x1b]0;owned\x07\x7f", "\\x1b]0;owned\\x07\\x7f"},
      {"C1 controls", "\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F", "\\u0080\\u0085\\u009b\\u009f"},
      {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", "\\u2028\\u2029"},
      {"reordering marks", "\xE2\x80\xAEtxt.exe\xE2\x81\xA6\xE2\x80\x8F\xD8\x9C",
       "\\u202etxt.exe\\u2066\\u200f\\u061c"},
      {"stray bytes and a cut sequence", "\x80z\xFF\xE2\x9C", "\\x80z\\xff\\xe2\\x9c"},
      {"overlong forms", "\xC0\xAF\xE0\x80\x8A", "\\xc0\\xaf\\xe0\\x80\\x8a"},
      {"a surrogate", "\xED\xA0\x80", "\\xed\\xa0\\x80"},
      {"beyond U+10FFFF, and the last code point", "\xF4\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\\xf4\\x90\\x80\\x80\xF4\x8F\xBF\xBF"},
  };
  for (const TCase& c : cases) {
    const std::string shown = c.Shown.empty() ? c.Text : c.Shown;
    const std::string line = FormatCaption(C::PeerLost, {c.Text});
    EXPECT_EQ(line, "\xE2\x97\x8B " + shown) << c.What;
    // A line already escaped passes the log's frame unchanged.
    EXPECT_EQ(FormatCaption(C::LogLine, {"12:00:00", line}), "[12:00:00] " + line) << c.What;
  }
}

TEST(FormatCaptionTest, ThirtyOneArguments_Accepted) {
  const std::string caption(31, '%');
  const std::string out = FormatCaption(
      caption, {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4}, int64_t{5}, int64_t{6},
                int64_t{7}, int64_t{8}, int64_t{9}, int64_t{0}, int64_t{1}, int64_t{2},
                int64_t{3}, int64_t{4}, int64_t{5}, int64_t{6}, int64_t{7}, int64_t{8},
                int64_t{9}, int64_t{0}, int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4},
                int64_t{5}, int64_t{6}, int64_t{7}, int64_t{8}, int64_t{9}, int64_t{0},
                "z"});
  EXPECT_EQ(out, "123456789012345678901234567890z");
}

TEST(FormatCaptionTest, ThirtyTwoArguments_Throws) {
  const std::string caption(32, '%');
  EXPECT_THROW(
      FormatCaption(caption, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k",
                              "l", "m", "n", "o", "p", "q", "r", "s", "t", "u", "v",
                              "w", "x", "y", "z", "A", "B", "C", "D", "E", "F"}),
      std::invalid_argument);
}

// ---- The caption set: every caption byte for byte ----

TEST(CaptionSetTest, EveryCaption_ExactUtf8Bytes) {
  EXPECT_EQ(C::PeerFound, "\xE2\x97\x8F % (%)");                    // U+25CF
  EXPECT_EQ(C::PeerLost, "\xE2\x97\x8B %");                         // U+25CB
  EXPECT_EQ(C::SyncBegins, "\xE2\x87\x84 %...");                    // U+21C4
  EXPECT_EQ(C::SyncDone, "\xE2\x9C\x93 % received, % sent");        // U+2713
  EXPECT_EQ(C::UpToDate, "\xE2\x9C\x93 Up to date");                // U+2713
  EXPECT_EQ(C::LocalChange, "\xE2\x96\xB3 %");                      // U+25B3
  EXPECT_EQ(C::LocalDelete, "\xE2\x9C\x95 %");                      // U+2715
  EXPECT_EQ(C::Downloaded, "  \xE2\x86\x93 % (%)");                 // U+2193
  EXPECT_EQ(C::RemoteDeleteApplied, "  \xE2\x9C\x95 %");            // U+2715
  EXPECT_EQ(C::Scanning, "\xE2\x80\xA6 Scanning...");               // U+2026
  EXPECT_EQ(C::FilesCount, "\xE2\x96\xAA % files");                 // U+25AA
  EXPECT_EQ(C::Ready, "\xE2\x96\xB6 Ready");                        // U+25B6
  EXPECT_EQ(C::ClipboardSent, "\xE2\x87\x84 Clipboard sent (% bytes)");          // U+21C4
  EXPECT_EQ(C::ClipboardReceived, "\xE2\x87\x84 Clipboard received (% bytes)");  // U+21C4
  EXPECT_EQ(C::ClockDrift, "\xE2\x9A\xA0 % - clock drift %s exceeds %s limit");  // U+26A0
  EXPECT_EQ(C::LogLine, "[%] %");
}

TEST(CaptionSetTest, SyncDone_Filled) {
  EXPECT_EQ(FormatCaption(C::SyncDone, {int64_t{3}, int64_t{0}}),
            "\xE2\x9C\x93 3 received, 0 sent");
  EXPECT_EQ(FormatCaption(C::SyncBegins, {"wren"}), "\xE2\x87\x84 wren...");
  EXPECT_EQ(FormatCaption(C::ClipboardSent, {int64_t{12}}),
            "\xE2\x87\x84 Clipboard sent (12 bytes)");
}

}  // namespace
