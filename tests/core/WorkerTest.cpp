// A worker whose body throws is reported and ends; the process goes on.
#include <gtest/gtest.h>

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

}  // namespace
