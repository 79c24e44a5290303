// Workers: a body that throws is reported and ends only the worker; a Pause, or a wait of the
// worker's own on its wake-up descriptor, ends at once on Terminate.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>

#include "core/Worker.h"
#include "support/Recorder.h"
#include "support/TestSupport.h"

namespace {

using Pondar::Core::RawUtf8;

class TThrowingWorker : public Pondar::Core::TWorkerThread {
 public:
  TThrowingWorker() : TWorkerThread("Test worker") {}
  ~TThrowingWorker() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override { throw std::runtime_error("no more memory, say"); }
};

TEST(WorkerTest, ExceptionEscapingTheBody_ReportedAndEndsOnlyTheWorker) {
  PondarTest::TRecorder<RawUtf8> reports;
  TThrowingWorker worker;
  worker.OnProblem = [&](const RawUtf8& AMessage) { reports.Add(AMessage); };
  worker.Start();
  worker.WaitFor();
  EXPECT_FALSE(worker.Running());
  EXPECT_EQ(reports.All(), std::vector<RawUtf8>{"Test worker stopped: no more memory, say"});
}

TEST(WorkerTest, RunReportingErrors_AThrowingReportStillEndsQuietly) {
  bool reported = false;
  const bool ok =
      Pondar::Core::RunReportingErrors([] { throw 42; }, "Step",
                                       [&](const RawUtf8& AMessage) {
                                         reported = AMessage == "Step: unknown error";
                                         throw std::runtime_error("the report fails too");
                                       });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(reported);
  EXPECT_TRUE(Pondar::Core::RunReportingErrors([] {}, "Step", {}));
}

// Pauses once for the given time, with Pause or with a poll of its own that has the wake-up
// descriptor beside (here: instead of) the worker's descriptors, and notes whether the time ran
// out and how long it took.
class TPausingWorker : public Pondar::Core::TWorkerThread {
 public:
  TPausingWorker(std::chrono::milliseconds APause, bool AOwnWait)
      : TWorkerThread("Pausing worker"), FPause(APause), FOwnWait(AOwnWait) {}
  ~TPausingWorker() override {
    Terminate();
    WaitFor();
  }
  std::atomic<bool> Started{false};
  bool Result = false;  // read after WaitFor
  std::chrono::steady_clock::duration Took{};

 protected:
  void Execute() override {
    const auto start = std::chrono::steady_clock::now();
    Started = true;
    pollfd pfd{WakeFd(), POLLIN, 0};
    Result = FOwnWait ? ::poll(&pfd, 1, static_cast<int>(FPause.count())) == 0 : Pause(FPause);
    Took = std::chrono::steady_clock::now() - start;
  }

 private:
  const std::chrono::milliseconds FPause;
  const bool FOwnWait;
};

TEST(WorkerTest, Wait_TrueAfterItsTimeAndFalseAtOnceWhenTerminated) {
  using namespace std::chrono_literals;
  for (const bool ownWait : {false, true}) {
    TPausingWorker quiet(50ms, ownWait);
    quiet.Start();
    quiet.WaitFor();
    EXPECT_TRUE(quiet.Result) << ownWait;
    EXPECT_GE(quiet.Took, 50ms) << ownWait;

    TPausingWorker stopped(60s, ownWait);
    stopped.Start();
    ASSERT_TRUE(PondarTest::WaitFor([&] { return stopped.Started.load(); }));
    stopped.Terminate();
    stopped.WaitFor();
    EXPECT_FALSE(stopped.Result) << ownWait;
    EXPECT_LT(stopped.Took, 5s) << ownWait;  // a millisecond or so
  }
}

}  // namespace
