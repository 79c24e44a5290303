#include "core/Worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <exception>

#include "core/Captions.h"

namespace Pondar::Core {

void ReportProblem(const TOnWorkerProblem& AReport, const RawUtf8& AMessage) noexcept {
  try {
    if (AReport) {
      AReport(AMessage);
      return;
    }
  } catch (...) {
    // The report itself failed (out of memory, say): standard error is all that is left.
  }
  try {
    std::fprintf(stderr, "%s\n", EscapeForLog(AMessage).c_str());
  } catch (...) {
    std::fputs("a problem report was lost: out of memory\n", stderr);
  }
}

bool RunReportingErrors(const std::function<void()>& AAction, const RawUtf8& AContext,
                        const TOnWorkerProblem& AReport) noexcept {
  // Copied into a buffer of our own: the exception is gone once its handler ends, and building
  // a string inside the handler could throw again.
  char what[512] = "unknown error";
  try {
    AAction();
    return true;
  } catch (const std::exception& AError) {
    std::snprintf(what, sizeof what, "%s", AError.what());
  } catch (...) {
  }
  try {
    ReportProblem(AReport, AContext + ": " + what);
  } catch (...) {
    ReportProblem(AReport, "out of memory while reporting an error");
  }
  return false;
}

TWorkerThread::TWorkerThread(RawUtf8 AName)
    : FName(std::move(AName)), FWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TWorkerThread::~TWorkerThread() {
  Terminate();
  WaitFor();
  if (FWakeFd >= 0) ::close(FWakeFd);
}

void TWorkerThread::Terminate() {
  // The flag first: a wait that the write below ends must find it set.
  FTerminated.store(true, std::memory_order_release);
  if (FWakeFd >= 0) {
    const uint64_t one = 1;
    // Never read, so the descriptor stays readable and every later wait ends at once. A write
    // fails only on a full counter, which wakes the waits as well.
    (void)!::write(FWakeFd, &one, sizeof one);
  }
}

bool TWorkerThread::Pause(std::chrono::milliseconds ADuration) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + ADuration;
  // Without a wake descriptor the sleep is taken in slices, so that a stop is seen soon.
  constexpr std::chrono::milliseconds Slice{50};
  while (!Terminated()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return true;
    pollfd pfd{FWakeFd, POLLIN, 0};
    const auto wait = FWakeFd >= 0 ? left : std::min(left, Slice);
    const auto ms = static_cast<int>(std::min<int64_t>(wait.count(), INT_MAX));
    if (::poll(&pfd, FWakeFd >= 0 ? 1 : 0, ms) < 0 && errno != EINTR)
      std::this_thread::sleep_for(std::min(left, Slice));
  }
  return false;
}

void TWorkerThread::Start() {
  if (FThread.joinable()) return;
  FRunning.store(true, std::memory_order_release);
  FThread = std::thread([this] {
    RunReportingErrors([this] { Execute(); }, FName + " stopped", OnProblem);
    FRunning.store(false, std::memory_order_release);
  });
}

void TWorkerThread::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

}  // namespace Pondar::Core
