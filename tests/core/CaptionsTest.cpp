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

// Every caption filled, byte for byte, and the placeholder rule: each "%" takes the next
// argument (an integer in plain decimal), one without an argument is dropped, leftover
// arguments are ignored, and a "%" inside an argument is no placeholder.
TEST(FormatCaptionTest, EveryCaptionAndThePlaceholderRule_Table) {
  const int64_t min = std::numeric_limits<int64_t>::min(), max = std::numeric_limits<int64_t>::max();
  const std::pair<std::string, std::string> cases[] = {
      {FormatCaption(C::PeerFound, {"wren", "10.0.0.2"}), "\u25CF wren (10.0.0.2)"},
      {FormatCaption(C::PeerLost, {"wren", "owl", int64_t{3}}), "\u25CB wren"},
      {FormatCaption(C::SyncBegins, {"wren"}), "\u21C4 wren..."},
      {FormatCaption(C::SyncDone, {int64_t{3}, int64_t{0}}), "\u2713 3 received, 0 sent"},
      {FormatCaption(C::UpToDate), "\u2713 Up to date"},
      {FormatCaption(C::LocalChange, {"a/b"}), "\u25B3 a/b"},
      {FormatCaption(C::LocalDelete, {"a/b"}), "\u2715 a/b"},
      {FormatCaption(C::Downloaded, {"docs/\xC3\xA9t\xC3\xA9.txt", "1.5 KB"}),
       "  \u2193 docs/\xC3\xA9t\xC3\xA9.txt (1.5 KB)"},
      {FormatCaption(C::RemoteDeleteApplied, {"a/b"}), "  \u2715 a/b"},
      {FormatCaption(C::Scanning), "\u2026 Scanning..."},
      {FormatCaption(C::FilesCount, {int64_t{-42}}), "\u25AA -42 files"},
      {FormatCaption(C::Ready, {"unused"}), "\u25B6 Ready"},
      {FormatCaption(C::ClipboardSent, {int64_t{12}}), "\u21C4 Clipboard sent (12 bytes)"},
      {FormatCaption(C::ClipboardReceived, {int64_t{1234567}}),
       "\u21C4 Clipboard received (1234567 bytes)"},  // no thousands separator
      {FormatCaption(C::ClockDrift, {"wren", int64_t{7}, int64_t{5}}),
       "\u26A0 wren - clock drift 7s exceeds 5s limit"},
      {FormatCaption(C::LogLine, {"12:00:01", "\u25B6 Ready"}), "[12:00:01] \u25B6 Ready"},
      {FormatCaption(C::LogLine, {"", ""}), "[] "},
      {FormatCaption(C::PeerFound, {"wren"}), "\u25CF wren ()"},
      {FormatCaption("a%b%c%d", {"X"}), "aXbcd"},
      {FormatCaption("100% sure %s %"), "100% sure %s %"},
      {FormatCaption(""), ""},
      {FormatCaption("%", {int64_t{0}}), "0"},
      {FormatCaption("%|%", {min, max}), "-9223372036854775808|9223372036854775807"},
      {FormatCaption("% and %", {"50%", "x"}), "50% and x"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
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

}  // namespace
