// Threads that do one job each (a sync, a screen send) and run detached, yet are counted, so
// that the engine can wait for them, with a bound, when it goes away.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Types.h"
#include "core/Worker.h"

namespace Pondard::App {

// Made through std::make_shared: every thread holds a share of the counter, so a thread that
// outlives its owner still counts itself out safely. Any thread may call any member.
class TShortLivedThreads : public std::enable_shared_from_this<TShortLivedThreads> {
 public:
  // Runs AJob on a new thread. An exception escaping it is reported through AReport as
  // "<AContext>: <message>" and ends only that thread. Throws std::system_error, counting
  // nothing, when no thread can be started.
  void Run(std::function<void()> AJob, Pondar::Core::RawUtf8 AContext,
           Pondar::Core::TOnWorkerProblem AReport);
  // Blocks until none runs or ATimeout has passed; true when none runs.
  bool WaitIdle(std::chrono::milliseconds ATimeout);
  size_t Count();

 private:
  std::mutex FMutex;  // guards FCount
  std::condition_variable FIdle;
  size_t FCount = 0;
};

}  // namespace Pondard::App
