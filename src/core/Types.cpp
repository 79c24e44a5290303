#include "core/Types.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace Pondar::Core {

uint64_t GetTickCount64() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
// One digit after the point, written by hand so that the locale's separator never leaks in.
RawUtf8 OneDecimal(double AValue, const char* AUnit) {
  const int64_t tenths = RoundHalfEven(AValue * 10.0);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld.%lld %s", static_cast<long long>(tenths / 10),
                static_cast<long long>(tenths % 10), AUnit);
  return buf;
}
}  // namespace

RawUtf8 FormatSize(int64_t ASize) {
  if (ASize < 1024) return std::to_string(ASize) + " B";
  if (ASize < 1048576) return OneDecimal(static_cast<double>(ASize) / 1024.0, "KB");
  if (ASize < 1073741824) return OneDecimal(static_cast<double>(ASize) / 1048576.0, "MB");
  return OneDecimal(static_cast<double>(ASize) / 1073741824.0, "GB");
}

RawUtf8 LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return buf;
}

double UnixMsToDayCount(int64_t AUnixMs) {
  return static_cast<double>(AUnixMs) / 86400000.0 + 25569.0;
}

int64_t DayCountToUnixSeconds(double ADays) {
  return RoundHalfEven((ADays - 25569.0) * 86400.0);
}

double CurrentUtcTime() {
  using namespace std::chrono;
  return UnixMsToDayCount(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

bool IsValidDayCount(double ADays) {
  constexpr double FirstDayAfter9999 = 2958466.0;  // 10000-01-01
  return std::isfinite(ADays) && ADays >= 0.0 && ADays < FirstDayAfter9999;
}

int64_t RoundHalfEven(double AValue) {
  // nearbyint follows the current rounding mode, which is round-half-even unless changed.
  return static_cast<int64_t>(std::nearbyint(AValue));
}

}  // namespace Pondar::Core
