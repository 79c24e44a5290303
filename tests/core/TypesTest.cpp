// Shared records and the size and time helpers.
#include "core/Types.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <thread>

#include "support/EnvVar.h"
#include "support/TestSupport.h"

namespace {

using namespace Pondar::Core;

// ---- FormatSize ----

// Switches the C locale to one that writes decimal commas, for the life of the object. Uses an
// installed locale when there is one; otherwise compiles one into a private folder from the
// system's locale sources (Debian package "locales") without touching the system.
class TCommaLocale {
 public:
  TCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8",
                             "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8", "de_DE"}) {
      if (TryLocale(name)) return;
    }
    const std::string dir = FBox.Str();
    const std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == -1) return;
    FLocPath.emplace("LOCPATH");
    FLocPath->Set(dir);
    TryLocale("de_DE.UTF-8");
  }
  // Back to "C" before LOCPATH is restored (FLocPath goes after this body).
  ~TCommaLocale() { std::setlocale(LC_ALL, "C"); }
  bool Active() const { return FActive; }
  const std::string& Name() const { return FName; }

 private:
  bool TryLocale(const char* AName) {
    if (!std::setlocale(LC_ALL, AName)) return false;
    // Only a locale that really writes a comma makes the test mean something.
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.1f", 1.5);
    if (std::string(buf) != "1,5") {
      std::setlocale(LC_ALL, "C");
      return false;
    }
    FActive = true;
    FName = AName;
    return true;
  }

  PondarTest::TSandbox FBox;
  bool FActive = false;
  std::optional<PondarTest::TEnvVar> FLocPath;
  std::string FName;
};

// Whole bytes below 1 KiB, then one decimal (ties to the even digit) up to GB, where it stays;
// a decimal point in every locale, also one that writes decimal commas.
TEST(FormatSizeTest, Table_InTheCAndACommaLocale) {
  const struct {
    int64_t Size;
    const char* Text;
  } cases[] = {
      {0, "0 B"}, {1, "1 B"}, {1023, "1023 B"}, {-1, "-1 B"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808 B"},
      {1024, "1.0 KB"}, {1536, "1.5 KB"}, {1126, "1.1 KB"} /* 1.0996 */,
      {10137, "9.9 KB"} /* 9.8994 */, {1000000, "976.6 KB"}, {1048575, "1024.0 KB"},
      {1048576, "1.0 MB"}, {3407872, "3.2 MB"} /* 3.25 */, {1073741823, "1024.0 MB"},
      {1073741824, "1.0 GB"}, {5368709120, "5.0 GB"}, {int64_t{2} << 40, "2048.0 GB"},
      {std::numeric_limits<int64_t>::max(), "8589934592.0 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.Size), c.Text) << c.Size;
  TCommaLocale locale;
  if (!locale.Active())
    GTEST_SKIP() << "no locale with a decimal comma is installed or can be built here "
                    "(install Debian package 'locales' and run "
                    "'localedef -i de_DE -f UTF-8 de_DE.UTF-8')";
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.Size), c.Text) << locale.Name();
}

// ---- Time helpers ----

// Sets TZ for the life of the object.
class TTimeZone {
 public:
  explicit TTimeZone(const char* AZone) {
    FTz.Set(AZone);
    ::tzset();
  }
  ~TTimeZone() {
    FTz.Restore();
    ::tzset();
  }

 private:
  PondarTest::TEnvVar FTz{"TZ"};
};

std::string UtcClockText(std::time_t ATime, int AOffsetSeconds) {
  const std::time_t shifted = ATime + AOffsetSeconds;
  std::tm tm{};
  gmtime_r(&shifted, &tm);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

TEST(LocalTimeTextTest, FixedZone_LocalNotUtc) {
  // POSIX "XYZ-5:30" is five and a half hours east of UTC.
  TTimeZone zone("XYZ-5:30");
  const std::time_t before = std::time(nullptr);
  const std::string text = LocalTimeText();
  const std::time_t after = std::time(nullptr);
  const int offset = 5 * 3600 + 30 * 60;
  EXPECT_TRUE(text == UtcClockText(before, offset) || text == UtcClockText(after, offset))
      << text << " vs " << UtcClockText(before, offset);
}

// The day count of the system clock, whatever the time zone.
TEST(CurrentUtcTimeTest, SystemClockAsDayCount_InAnyZone) {
  using namespace std::chrono;
  const auto unixMs = [] {
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
  TTimeZone zone("XYZ+11");
  const int64_t before = unixMs();
  const double now = CurrentUtcTime();
  const int64_t after = unixMs();
  EXPECT_GE(now, static_cast<double>(before) / 86400000.0 + 25569.0);
  EXPECT_LE(now, static_cast<double>(after) / 86400000.0 + 25569.0);
}

TEST(DayCountTest, KnownDates) {
  EXPECT_EQ(UnixMsToDayCount(0), 25569.0);                  // 1970-01-01
  EXPECT_EQ(UnixMsToDayCount(946684800000), 36526.0);       // 2000-01-01
  EXPECT_EQ(UnixMsToDayCount(946684800000 + 43200000), 36526.5);  // noon
  EXPECT_EQ(UnixMsToDayCount(-86400000), 25568.0);
  EXPECT_EQ(DayCountToUnixSeconds(36526.0), 946684800);
  EXPECT_EQ(DayCountToUnixSeconds(36526.5), 946684800 + 43200);
  EXPECT_EQ(DayCountToUnixSeconds(0.0), -2209161600);       // 1899-12-30
}

TEST(DayCountTest, WholeSecondsRoundTrip) {
  for (int64_t seconds : {int64_t{0}, int64_t{1}, int64_t{1700000000}, int64_t{1700000001},
                          int64_t{4102444799}, int64_t{-1}}) {
    EXPECT_EQ(DayCountToUnixSeconds(UnixMsToDayCount(seconds * 1000)), seconds) << seconds;
  }
}

TEST(RoundHalfEvenTest, TiesToEven) {
  EXPECT_EQ(RoundHalfEven(0.5), 0);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(2.5000001), 3);
  EXPECT_EQ(RoundHalfEven(-0.5), 0);
  EXPECT_EQ(RoundHalfEven(-1.5), -2);
  EXPECT_EQ(RoundHalfEven(-2.6), -3);
}

TEST(TickTest, Monotonic) {
  const uint64_t first = GetTickCount64();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const uint64_t second = GetTickCount64();
  EXPECT_GE(second - first, 19u);
  EXPECT_LT(second - first, 5000u);
}

}  // namespace
