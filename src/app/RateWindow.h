// At most one take-up per window, without losing what arrives inside it.
#pragma once

#include <cstdint>
#include <functional>

namespace Pondard::App {

// The owner keeps what was held back (under its own lock, which it also holds around every call
// here) and takes it up once, when the window ends: so the last change always propagates, while
// bursts still cost one take-up per window.
class TRateWindow {
 public:
  explicit TRateWindow(uint64_t AWindowMs) : FWindowMs(AWindowMs) {}

  // True: take it up now; the window starts again at ANow. False: it falls inside the window;
  // the owner remembers it, and AScheduleEnd is called once per window with the time left, to
  // arrange the deferred take-up.
  bool Admit(uint64_t ANow, const std::function<void(uint64_t ADelayMs)>& AScheduleEnd) {
    if (ANow - FLastTick >= FWindowMs) {
      FLastTick = ANow;
      return true;
    }
    if (!FEndScheduled) {
      FEndScheduled = true;
      AScheduleEnd(FLastTick + FWindowMs - ANow);
    }
    return false;
  }
  // What was just admitted is held back after all (it waits for the rest of its burst): the
  // window's end is scheduled as for a change inside it, so it is taken up then at the latest.
  void HoldAdmitted(uint64_t ANow, const std::function<void(uint64_t ADelayMs)>& AScheduleEnd) {
    if (!FEndScheduled) {
      FEndScheduled = true;
      AScheduleEnd(FLastTick + FWindowMs - ANow);
    }
  }
  // What was held back was taken up before the window's end: the next window starts at ANow.
  void TookUp(uint64_t ANow) { FLastTick = ANow; }
  // The deferred take-up runs: it starts a new window when it has something to take up.
  void Ended(uint64_t ANow, bool ATakingUp) {
    FEndScheduled = false;
    if (ATakingUp) FLastTick = ANow;
  }
  // The scheduled end was dropped with what it would have taken up (the engine stopped): the
  // next change held back schedules a new one. When the last take-up began is kept.
  void DropScheduledEnd() { FEndScheduled = false; }

 private:
  const uint64_t FWindowMs;
  uint64_t FLastTick = 0;  // when the last take-up began (0: never)
  bool FEndScheduled = false;
};

}  // namespace Pondard::App
