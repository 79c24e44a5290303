// pondard-desktop: the window's program of Pondar Desktop, into which pondard turns when a
// window, the clipboard or screen broadcasting is wanted (the same argv, environment and pid).
// With an X display and without --headless it opens its window; otherwise it runs headless, as
// pondard does, with the desktop's clipboard and screen at hand.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QGuiApplication>

#include "app/App.h"
#include "app/Config.h"
#include "app/DeliveryQueue.h"
#include "app/Options.h"
#include "main/Program.h"
#include "ui/DesktopScreen.h"
#include "ui/QtClipboard.h"
#include "ui/MainForm.h"
#include "ui/QtDeliveryQueue.h"

namespace {

using Pondard::App::TPondardConfig;

// The window's program, until the window is closed or a stop signal comes. Qt takes its own
// options out of argc/argv (-name and -display, also with two dashes), which is why the settings
// were read from the copy taken before.
int RunWindow(int& argc, char** argv, const TPondardConfig& AConfig, sigset_t& AStopSignals) {
  // X11 even inside a Wayland session, as the clipboard needs (see the headless peer below).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication qtApp(argc, argv);
  // Qt has taken out the options it knows (-style, -reverse, ...): what is left and not ours is
  // ignored.
  Pondard::Program::WarnAboutUnknownArguments(std::vector<std::string>(argv + 1, argv + argc));
  QApplication::setApplicationName(QStringLiteral("pondard"));
  QApplication::setApplicationDisplayName(QStringLiteral("Pondar Desktop"));

  std::atomic<bool> stopRequested{false};
  std::thread signalWaiter([&] {
    int signal = 0;
    sigwait(&AStopSignals, &signal);
    if (stopRequested.exchange(true)) return;  // woken by the main thread: the window is closed
    QMetaObject::invokeMethod(&qtApp, &QCoreApplication::quit, Qt::QueuedConnection);
  });

  Pondard::Program::SayStarting(AConfig);
  {
    // Closing the window, or a stop signal, ends the loop; the window's end stops the engine.
    Pondard::UI::TMainForm form(AConfig);
    form.show();
    if (!stopRequested.load()) QApplication::exec();
  }
  if (!stopRequested.exchange(true)) pthread_kill(signalWaiter.native_handle(), SIGTERM);
  signalWaiter.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Pondard::Program::TuneMalloc();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Pondard::App::TProgramSwitches switches = Pondard::App::ReadProgramSwitches(args);
  if (const auto status = Pondard::Program::AnswerInfoSwitches(switches)) return *status;
  bool headless = switches.Headless;
  if (!headless) {
    std::string noWindowWhy;
    if (!Pondard::Program::XDisplayReachable(noWindowWhy)) {
      std::fprintf(stderr, "pondard: %s; running headless\n", noWindowWhy.c_str());
      headless = true;
    }
  }
  TPondardConfig config;
  sigset_t stopSignals;
  if (const auto status = Pondard::Program::PrepareRun(args, switches, headless, config, stopSignals))
    return *status;
  if (!headless) return RunWindow(argc, argv, config, stopSignals);

  // Clipboard sharing needs the desktop's clipboard, which only a Qt application on this
  // (main) thread reaches; without it the peer shares files alone.
  std::string noClipboardWhy;
  const bool withQt = config.Clipboard && Pondard::Program::XDisplayReachable(noClipboardWhy);
  std::unique_ptr<QGuiApplication> qtApp;
  if (withQt) {
    // X11 even inside a Wayland session: Wayland shows clipboard changes to no program without
    // a focused window, while the desktop bridges them to X11. Qt takes its options from this
    // list, never from the user's command line, which the settings have read already.
    static int qtArgc = 3;
    static char qtArgv0[] = "pondard", qtArgv1[] = "-platform", qtArgv2[] = "xcb";
    static char* qtArgv[] = {qtArgv0, qtArgv1, qtArgv2, nullptr};
    qtApp = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
  }

  std::shared_ptr<Pondard::App::TDeliveryQueue> queue;
  std::shared_ptr<Pondard::App::TLoopDeliveryQueue> loopQueue;
  if (withQt) {
    queue = std::make_shared<Pondard::UI::TQtDeliveryQueue>();
  } else {
    loopQueue = std::make_shared<Pondard::App::TLoopDeliveryQueue>();
    queue = loopQueue;
  }
  std::atomic<bool> stopRequested{false};
  std::thread signalWaiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    stopRequested.store(true);
    if (withQt) {
      QMetaObject::invokeMethod(qtApp.get(), &QCoreApplication::quit, Qt::QueuedConnection);
    } else {
      loopQueue->Wake();
    }
  });

  {
    Pondard::App::TPondardApp app(config, queue);
    app.SetLogSink(Pondard::Program::PrintLine);
    app.SetScreenSource(Pondard::UI::DesktopScreenSource(
        config.ScreenRestoreToken, [&app](const Pondard::App::RawUtf8& AMsg) { app.Warn(AMsg); }));
    std::shared_ptr<Pondard::UI::TQtClipboard> clipboard;
    if (withQt) {
      clipboard = std::make_shared<Pondard::UI::TQtClipboard>();
      app.SetClipboard(clipboard);
    } else if (config.Clipboard) {
      app.Warn("Clipboard sharing is unavailable: " + noClipboardWhy);
    }
    Pondard::Program::SayStarting(config);
    app.Start();
    if (withQt) {
      // A signal that came before the loop began posted its quit already.
      if (!stopRequested.load()) qtApp->exec();
    } else {
      while (!stopRequested.load()) loopQueue->WaitAndRun(std::chrono::milliseconds(1000));
    }
    app.Stop();
    // The lines of the stop, queued by workers, are printed before the process ends.
    if (withQt) {
      QCoreApplication::sendPostedEvents();
    } else {
      loopQueue->RunPending();
    }
  }
  if (loopQueue) loopQueue->RunPending();
  if (qtApp) QCoreApplication::sendPostedEvents();
  signalWaiter.join();
  return 0;
}
