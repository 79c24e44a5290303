// pondard: one peer of Pondar Desktop. With an X display and without --headless it opens its
// window; otherwise it runs headless: the engine's log lines go to standard output, anything
// else the program says to standard error.
#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include "app/App.h"
#include "app/Config.h"
#include "app/DeliveryQueue.h"
#include "ui/QtClipboard.h"
#include "ui/MainForm.h"
#include "ui/QtDeliveryQueue.h"

namespace {

using Pondard::App::TPondardConfig;

#ifndef PONDAR_VERSION
#error "PONDAR_VERSION is set by the build (CMakeLists.txt, from the project's version)"
#endif

// Every option with its default; the settings file's values come between the two.
void PrintHelp() {
  std::printf(
      "Usage: pondard [options]\n"
      "Keeps a shared folder in step with every Pondar peer on the local network.\n"
      "\n"
      "Options, with their defaults in brackets:\n"
      "  --headless         run without a window (as without an X display); log lines go\n"
      "                     to standard output [off: a window where an X display answers]\n"
      "  --name NAME        name announced to other peers (letters, digits, '-' and '_')\n"
      "                     [$COMPUTERNAME, else the host name up to its first dot, else a\n"
      "                     random name such as calm-wren]\n"
      "  --folder DIR       the shared folder [the current directory]\n"
      "  --udp-port PORT    UDP port for finding peers [7731]\n"
      "  --tcp-port PORT    TCP port for serving files [7732]\n"
      "  --sound            sound on peer events (only with a window; none headless) [off]\n"
      "  --clipboard        share clipboard text with the peers (needs an X display: the\n"
      "                     CLIPBOARD selection of $DISPLAY; without one, runs on without it)\n"
      "                     [off]\n"
      "  --in-pondar-folder start in ~/Pondar, created when missing, so that it is the\n"
      "                     default shared folder rather than wherever the program was\n"
      "                     started; the menu entry and the user unit pass it [off]\n"
      "  --version          show the version and exit\n"
      "  --help             show this text and exit\n"
      "\n"
      "Settings are read from %s, then from the options above.\n"
      "There, [FileSharing] Folder= chooses the shared folder (also over --in-pondar-folder),\n"
      "[Clipboard] Enabled=1 shares the clipboard as --clipboard does, and\n"
      "[Screen] Broadcast=1 shows this desk's screen (of $DISPLAY) to the other peers;\n"
      "both need an X display and are said to be unavailable without one. A peer without\n"
      "a window shows no other peer's screen.\n"
      "Any other argument is ignored (launchers may add their own) and named on standard error.\n"
      "SIGINT or SIGTERM says goodbye to the peers and exits.\n",
      Pondard::App::ConfigFilePath().c_str());
}

// The options that take the next argument as their value, and those that stand alone.
bool TakesValue(const std::string& AArg) {
  return AArg == "--name" || AArg == "--folder" || AArg == "--udp-port" || AArg == "--tcp-port";
}
bool IsSwitch(const std::string& AArg) {
  return AArg == "--headless" || AArg == "--sound" || AArg == "--clipboard" ||
         AArg == "--in-pondar-folder" || AArg == "--version" || AArg == "--help" || AArg == "-h";
}

// The settings skip what they do not know, so that a launcher's own arguments do no harm; named
// here, so that a mistyped option (or one of a newer version) is not taken as obeyed.
void WarnAboutUnknownArguments(const std::vector<std::string>& AArgs) {
  for (size_t i = 0; i < AArgs.size(); ++i) {
    if (TakesValue(AArgs[i])) {
      ++i;
    } else if (!IsSwitch(AArgs[i])) {
      std::fprintf(stderr, "pondard: unknown option %s, ignored\n", AArgs[i].c_str());
    }
  }
}

// Launchers and the user's service manager start programs in the home folder, which as the
// default shared folder would offer every file there to every peer, and take their writes and
// deletes. --in-pondar-folder moves the process into ~/Pondar first. False, with AWhy, when that
// folder cannot be made or entered.
bool EnterPondarFolder(std::string& AWhy) {
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  if (home.empty()) {
    AWhy = "no home folder is known";
    return false;
  }
  const std::filesystem::path folder = std::filesystem::path(home) / "Pondar";
  std::error_code ec;
  std::filesystem::create_directory(folder, ec);
  if (!ec) std::filesystem::current_path(folder, ec);
  if (ec) {
    AWhy = folder.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// The settings ignore what they cannot use; say so here, so that a typing error is noticed.
void WarnAboutIgnoredValues(const std::vector<std::string>& AArgs) {
  for (size_t i = 0; i + 1 < AArgs.size(); ++i) {
    const std::string& option = AArgs[i];
    const std::string& value = AArgs[i + 1];
    if (option == "--folder") {
      std::error_code ec;
      if (!std::filesystem::is_directory(value, ec))
        std::fprintf(stderr, "pondard: --folder %s: no such folder, option ignored\n",
                     value.c_str());
    } else if (option == "--udp-port" || option == "--tcp-port") {
      char* end = nullptr;
      const long long port = std::strtoll(value.c_str(), &end, 0);
      if (value.empty() || *end != '\0') {
        std::fprintf(stderr, "pondard: %s %s: not a number, option ignored\n", option.c_str(),
                     value.c_str());
      } else if (port < 0 || port > 65535) {
        std::fprintf(stderr, "pondard: %s %s: beyond 0 to 65535, its low 16 bits give %u\n",
                     option.c_str(), value.c_str(), static_cast<unsigned>(port & 0xFFFF));
      }
    }
  }
}

// True when an X server answers on $DISPLAY; otherwise AWhy says why not. Qt itself would end
// the process when it cannot reach the display, so this is asked first.
bool XDisplayReachable(std::string& AWhy) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    AWhy = "no X display (DISPLAY is not set)";
    return false;
  }
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  const bool reached = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  if (!reached) AWhy = std::string("the X display ") + display + " cannot be reached";
  return reached;
}

void PrintLine(const Pondard::App::RawUtf8& ALine) {
  std::fwrite(ALine.data(), 1, ALine.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The window's program, until the window is closed or a stop signal comes. Qt takes its own
// options out of argc/argv (-name and -display, also with two dashes), which is why the settings
// were read from the copy taken before.
int RunWindow(int& argc, char** argv, const TPondardConfig& AConfig, sigset_t& AStopSignals) {
  // X11 even inside a Wayland session, as the clipboard needs (see the headless peer below).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication qtApp(argc, argv);
  // Qt has taken out the options it knows (-style, -reverse, ...): what is left and not ours is
  // ignored.
  WarnAboutUnknownArguments(std::vector<std::string>(argv + 1, argv + argc));
  QApplication::setApplicationName(QStringLiteral("pondard"));
  QApplication::setApplicationDisplayName(QStringLiteral("Pondar Desktop"));

  std::atomic<bool> stopRequested{false};
  std::thread signalWaiter([&] {
    int signal = 0;
    sigwait(&AStopSignals, &signal);
    if (stopRequested.exchange(true)) return;  // woken by the main thread: the window is closed
    QMetaObject::invokeMethod(&qtApp, &QCoreApplication::quit, Qt::QueuedConnection);
  });

  std::fprintf(stderr, "pondard: %s sharing %s (UDP %u, TCP %u)\n", AConfig.Name.c_str(),
               AConfig.Folder.c_str(), AConfig.UdpPort, AConfig.TcpPort);
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
  // Few threads here allocate at once, while lists of a large share (10 MB at 100 000 files)
  // come and go on several of them: two heaps instead of one per thread, and every large block
  // mapped on its own, so that what a rescan or a sync frees goes back to the system instead of
  // staying behind in the heap of the thread that last used it.
  ::mallopt(M_ARENA_MAX, 2);
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  const std::vector<std::string> args(argv + 1, argv + argc);
  bool headless = false;
  bool inPondarFolder = false;
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      return 0;
    }
    if (arg == "--version") {
      std::printf("pondard %s\n", PONDAR_VERSION);
      return 0;
    }
    if (arg == "--headless") headless = true;
    if (arg == "--in-pondar-folder") inPondarFolder = true;
  }
  if (!headless) {
    std::string noWindowWhy;
    if (!XDisplayReachable(noWindowWhy)) {
      std::fprintf(stderr, "pondard: %s; running headless\n", noWindowWhy.c_str());
      headless = true;
    }
  }
  // Before anything looks at the current directory: it is the default shared folder.
  std::string noPondarFolderWhy;
  if (inPondarFolder) EnterPondarFolder(noPondarFolderWhy);
  WarnAboutIgnoredValues(args);
  if (headless) WarnAboutUnknownArguments(args);  // the window's program asks once Qt has chosen

  // Signals are taken by one thread of their own; every other thread, created later, blocks them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  TPondardConfig config;
  config.Init(args);
  if (!noPondarFolderWhy.empty()) {
    // Sharing the folder the launcher happened to start us in is what the option is there to
    // prevent; a folder chosen in the settings or by --folder is still fine.
    std::error_code ec;
    if (config.Folder == std::filesystem::current_path(ec).string()) {
      std::fprintf(stderr, "pondard: --in-pondar-folder: %s; not starting, rather than share %s\n",
                   noPondarFolderWhy.c_str(), config.Folder.c_str());
      return 1;
    }
    std::fprintf(stderr, "pondard: --in-pondar-folder: %s\n", noPondarFolderWhy.c_str());
  }
  if (!headless) return RunWindow(argc, argv, config, stopSignals);

  // Clipboard sharing needs the desktop's clipboard, which only a Qt application on this
  // (main) thread reaches; without it the peer shares files alone.
  std::string noClipboardWhy;
  const bool withQt = config.Clipboard && XDisplayReachable(noClipboardWhy);
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
    app.SetLogSink(PrintLine);
    std::shared_ptr<Pondard::UI::TQtClipboard> clipboard;
    if (withQt) {
      clipboard = std::make_shared<Pondard::UI::TQtClipboard>();
      app.SetClipboard(clipboard);
    } else if (config.Clipboard) {
      app.Warn("Clipboard sharing is unavailable: " + noClipboardWhy);
    }
    std::fprintf(stderr, "pondard: %s sharing %s (UDP %u, TCP %u)\n", config.Name.c_str(),
                 config.Folder.c_str(), config.UdpPort, config.TcpPort);
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
