// pondard: one peer of Pondar Desktop. Sharing files needs no desktop, so this program links
// none of its libraries (Qt, X11, PipeWire, sd-bus): a headless peer stays small. When a window,
// the clipboard or screen broadcasting is wanted, it turns into the window's program,
// pondard-desktop, with the same arguments, environment and pid; should that program be
// missing, one line says so and the peer shares files without them.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "app/Config.h"
#include "app/DeliveryQueue.h"
#include "app/Options.h"
#include "main/Program.h"
#include "screen/Capture.h"

namespace {

using Pondard::App::TPondardConfig;

#ifndef PONDAR_DESKTOP_PROGRAM
#error "PONDAR_DESKTOP_PROGRAM is set by the build: the window's program, relative to pondard"
#endif

// Turns this process into the window's program: where it is installed beside this one
// (PONDAR_DESKTOP_PROGRAM from the folder of /proc/self/exe), else in that folder itself, as in
// the build tree. Returns only when neither can be started, with why.
std::string BecomeDesktopProgram(char** argv) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path folder = ec ? std::filesystem::path(".") : self.parent_path();
  const std::filesystem::path installed =
      (folder / PONDAR_DESKTOP_PROGRAM).lexically_normal();
  const std::filesystem::path beside = folder / installed.filename();
  for (const std::filesystem::path& candidate : {installed, beside}) {
    if (::access(candidate.c_str(), X_OK) == 0) {
      ::execv(candidate.c_str(), argv);
      return candidate.string() + " cannot be started (" + std::strerror(errno) + ")";
    }
  }
  return "the window's program " + installed.string() + " is not installed";
}

// The desktop's screen as this program has it: none, for AWhy.
Pondard::App::TScreenSourceFactory NoScreen(std::string AWhy) {
  return [AWhy](std::string& AWhyNot) -> std::unique_ptr<Pondard::Screen::TScreenSource> {
    AWhyNot = AWhy;
    return nullptr;
  };
}

}  // namespace

int main(int argc, char** argv) {
  Pondard::Program::TuneMalloc();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Pondard::App::TProgramSwitches switches = Pondard::App::ReadProgramSwitches(args);
  if (const auto status = Pondard::Program::AnswerInfoSwitches(switches)) return *status;

  // What the window's program is needed for. The settings are read here only to ask; the
  // program that runs reads them again, and says what it thinks of them once.
  std::string noWindowWhy;
  const bool window = !switches.Headless && Pondard::Program::XDisplayReachable(noWindowWhy);
  TPondardConfig wanted;
  wanted.Init(args);
  std::string noDesktopWhy;
  if (window || wanted.Clipboard || wanted.ScreenBroadcast) {
    noDesktopWhy = BecomeDesktopProgram(argv);
    std::fprintf(stderr, "pondard: %s; running headless, sharing files only\n",
                 noDesktopWhy.c_str());
  } else if (!switches.Headless) {
    std::fprintf(stderr, "pondard: %s; running headless\n", noWindowWhy.c_str());
  }

  TPondardConfig config;
  sigset_t stopSignals;
  if (const auto status = Pondard::Program::PrepareRun(args, switches, true, config, stopSignals))
    return *status;

  const auto queue = std::make_shared<Pondard::App::TLoopDeliveryQueue>();
  std::atomic<bool> stopRequested{false};
  std::thread signalWaiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    stopRequested.store(true);
    queue->Wake();
  });

  {
    Pondard::App::TPondardApp app(config, queue);
    app.SetLogSink(Pondard::Program::PrintLine);
    app.SetScreenSource(NoScreen(noDesktopWhy));
    if (config.Clipboard) app.Warn("Clipboard sharing is unavailable: " + noDesktopWhy);
    Pondard::Program::SayStarting(config);
    app.Start();
    while (!stopRequested.load()) queue->WaitAndRun(std::chrono::milliseconds(1000));
    app.Stop();
    // The lines of the stop, queued by workers, are printed before the process ends.
    queue->RunPending();
  }
  queue->RunPending();
  signalWaiter.join();
  return 0;
}
