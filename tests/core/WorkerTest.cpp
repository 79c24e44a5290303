// Workers: a body that throws is reported and ends only the worker; a Pause ends at once on
// Terminate.
#include <gtest/gtest.h>

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

// Pauses once for the given time and notes what Pause said and how long it took.
class TPausingWorker : public Pondar::Core::TWorkerThread {
 public:
  explicit TPausingWorker(std::chrono::milliseconds APause)
      : TWorkerThread("Pausing worker"), FPause(APause) {}
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
    Result = Pause(FPause);
    Took = std::chrono::steady_clock::now() - start;
  }

 private:
  const std::chrono::milliseconds FPause;
};

TEST(WorkerTest, Pause_TrueAfterItsTimeAndFalseAtOnceWhenTerminated) {
  using namespace std::chrono_literals;
  TPausingWorker quiet(50ms);
  quiet.Start();
  quiet.WaitFor();
  EXPECT_TRUE(quiet.Result);
  EXPECT_GE(quiet.Took, 50ms);

  TPausingWorker stopped(60s);
  stopped.Start();
  ASSERT_TRUE(PondarTest::WaitFor([&] { return stopped.Started.load(); }));
  stopped.Terminate();
  stopped.WaitFor();
  EXPECT_FALSE(stopped.Result);
  EXPECT_LT(stopped.Took, 5s);  // a millisecond or so
}

}  // namespace
