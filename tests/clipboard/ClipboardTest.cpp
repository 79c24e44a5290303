#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <sstream>

#include "clipboard/Clipboard.h"
#include "support/MemoryClipboard.h"
#include "support/Recorder.h"
#include "support/TestSupport.h"

using Pondar::Clipboard::ClipboardTextHash;
using Pondar::Clipboard::TClipboardWatcher;
using PondarTest::TMemoryClipboard;
using namespace std::chrono_literals;

namespace {

// One line of a script: at time AtMs something happens, then the watcher polls at that time.
// What: "copy X", "picture", "receive X" (a peer's text written as the engine does), "busy N"
// (the next N opens fail), "upper" (from now on the desktop keeps written text in capitals, as
// a desktop that does not keep it byte for byte), or "" (only the poll).
struct TStep {
  uint64_t AtMs;
  std::string What;
};

struct TWatcherCase {
  const char* Name;
  std::string CopiedBeforeStart;
  std::vector<TStep> Steps;
  std::vector<std::string> Reported;
};

std::string Joined(const std::vector<std::string>& AItems) {
  std::ostringstream out;
  for (const auto& item : AItems) out << "[" << item << "]";
  return out.str();
}

// Polls are driven by hand, at the times the script gives, on a watcher that never starts.
std::vector<std::string> RunScript(const TWatcherCase& ACase) {
  auto clipboard = std::make_shared<TMemoryClipboard>();
  if (!ACase.CopiedBeforeStart.empty()) clipboard->Copy(ACase.CopiedBeforeStart);
  std::vector<std::string> reported;
  TClipboardWatcher watcher(
      clipboard, [&](const std::string& AText) { reported.push_back(AText); }, false);
  for (const auto& step : ACase.Steps) {
    const auto space = step.What.find(' ');
    const std::string verb = step.What.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : step.What.substr(space + 1);
    if (verb == "copy") {
      clipboard->Copy(arg);
    } else if (verb == "picture") {
      clipboard->CopyPicture();
    } else if (verb == "receive") {
      watcher.SetReceivedHash(ClipboardTextHash(arg));
      EXPECT_TRUE(WriteClipboardText(*clipboard, arg));
    } else if (verb == "arrive") {  // a peer's text whose write is still on its way
      watcher.SetReceivedHash(ClipboardTextHash(arg));
    } else if (verb == "refuse") {  // a peer's text the clipboard would not take
      watcher.SetReceivedHash(ClipboardTextHash(arg));
      watcher.ForgetReceivedHash(ClipboardTextHash(arg));
    } else if (verb == "busy") {
      clipboard->HoldBusy(std::stoi(arg));
    } else if (verb == "upper") {
      clipboard->KeepTextAs([](std::string AText) {
        for (char& c : AText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return AText;
      });
    }
    watcher.Poll(10000 + step.AtMs);
  }
  return reported;
}

const std::vector<TWatcherCase> KWatcherCases = {
    {"NewTextOnceSameTextNotAgain", "", {{0, "copy A"}, {200, ""}, {1000, "copy A"}}, {"A"}},
    {"TextPresentAtStartNotReported", "old", {{0, ""}, {1000, ""}}, {}},
    {"PictureIgnored", "", {{0, "picture"}, {1000, "copy B"}}, {"B"}},
    // The second copy falls inside the 500 ms after the first report and waits for its end.
    {"SecondCopyInsideGapReportedOnceWhenItEnds",
     "",
     {{0, "copy A"}, {200, "copy B"}, {400, "copy C"}, {600, ""}, {800, ""}, {1000, ""}},
     {"A", "C"}},
    {"ReceivedTextNotEchoed", "", {{0, "receive B"}, {200, ""}, {1000, ""}}, {}},
    // Copying a peer's text locally again is no news to the peers either.
    {"ReceivedTextCopiedAgainNotReported", "", {{0, "receive B"}, {1000, "copy B"}}, {}},
    // After a peer's B, every desk holds B: copying A again must reach them, and then B too.
    {"AThenReceivedBThenAAgainReported",
     "",
     {{0, "copy A"}, {1000, "receive B"}, {2000, "copy A"}, {3000, "copy B"}},
     {"A", "A", "B"}},
    // A and B from two peers arrive before A is written: A, read then, is not sent back.
    {"TwoPeersTextsCloseTogetherNotEchoed",
     "",
     {{0, "arrive A"}, {0, "arrive B"}, {0, "copy A"}, {200, "copy B"}, {1000, ""}},
     {}},
    // A local copy read and reported while a peer's text waits to be written: the peer's text,
    // seen afterwards (twice, as some clipboards tell of their own writes), is not sent back.
    {"LocalCopyReportedWhilePeersTextWaits",
     "",
     {{0, "arrive Y"}, {0, "copy X"}, {200, "copy Y"}, {1000, "copy Y"}},
     {"X"}},
    // A peer's B comes after A was seen, and the clipboard tells of a change before B's write
    // lands: A, read again, is not sent as a copy.
    {"OlderTextReadAgainWhilePeersTextWaitsNotSent",
     "",
     {{0, "receive A"}, {1000, "arrive B"}, {1000, "copy A"}, {1200, "copy B"}, {2000, ""}},
     {}},
    {"RefusedPeersTextCopiedHereReported", "", {{0, "refuse B"}, {1000, "copy B"}}, {"B"}},
    // What the desktop made of a peer's text is no copy made here, now or when copied again;
    // a text of its own still is.
    {"PeersTextKeptOtherwiseNotSentBack",
     "",
     {{0, "upper"}, {0, "receive abc"}, {200, ""}, {1000, "copy ABC"}, {2000, "copy xyz"}},
     {"xyz"}},
    // A clipboard held by another program is tried again at the next poll; the copy is not lost.
    {"BusyClipboardTriedAgain", "", {{0, "busy 3"}, {0, "copy A"}, {200, ""}}, {"A"}},
    {"TextOutsideTheBmpAsUtf8",
     "",
     {{0, "copy \xF0\x9F\x98\x80 \xF0\x9D\x84\x9E"}},
     {"\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E"}},
    {"TextEndsAtItsFirstNul", "", {{0, std::string("copy ab\0cd", 10)}}, {"ab"}},
};

class WatcherScript : public ::testing::TestWithParam<TWatcherCase> {};

TEST_P(WatcherScript, ReportsWhatTheScriptExpects) {
  EXPECT_EQ(Joined(RunScript(GetParam())), Joined(GetParam().Reported));
}

INSTANTIATE_TEST_SUITE_P(Clipboard, WatcherScript, ::testing::ValuesIn(KWatcherCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(ClipboardTest, ShareableText_ValidUtf8WithoutNul) {
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {"a\tb\r\n caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF", true},
      {std::string("before\0after", 12), false}, {std::string(1000, '\xFF'), false},
      {"\xE2\x82", false},          {"\x80", false},  // cut short; a continuation byte alone
      {"\xC0\xAF", false},          {"\xE0\x80\xAF", false},  // overlong forms of "/"
      {"\xED\xA0\x80", false},      {"\xF4\x90\x80\x80", false},  // U+D800; past U+10FFFF
  };
  for (const auto& [text, shareable] : cases)
    EXPECT_EQ(Pondar::Clipboard::IsShareableText(text), shareable) << testing::PrintToString(text);
}

TEST(ClipboardTest, TextHash_Sha256OfTheUtf8Bytes) {
  EXPECT_EQ(ClipboardTextHash("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ClipboardTextHash(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ClipboardTest, WriteToABusyClipboard_ThreeTriesThenRefused) {
  TMemoryClipboard clipboard;
  clipboard.HoldBusy(3);
  EXPECT_FALSE(WriteClipboardText(clipboard, "x"));
  clipboard.HoldBusy(2);
  EXPECT_TRUE(WriteClipboardText(clipboard, "y"));
  EXPECT_EQ(clipboard.Text(), "y");
}

TEST(ClipboardTest, Running_ReportsWithinAFewPolls_StopsWithinOnePoll) {
  auto clipboard = std::make_shared<TMemoryClipboard>();
  PondarTest::TRecorder<std::string> reported;
  auto watcher = std::make_unique<TClipboardWatcher>(
      clipboard, [&](const std::string& AText) { reported.Add(AText); });
  clipboard->Copy("hello");
  // One poll normally, 200 ms; five times that at least.
  ASSERT_TRUE(PondarTest::WaitFor([&] { return reported.Count() == 1; }, 2s));
  const auto stopAt = std::chrono::steady_clock::now();
  watcher.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1s);
  EXPECT_EQ(reported.All(), std::vector<std::string>{"hello"});
}

}  // namespace
