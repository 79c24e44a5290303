// pondard: one peer of Pondar Desktop. With an X display and without --headless it opens its
// window; otherwise it runs headless: the engine's log lines go to standard output, anything
// else the program says to standard error.
#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include "app/App.h"
#include "app/Config.h"
#include "app/DeliveryQueue.h"
#include "app/Options.h"
#include "net/NetworkKey.h"
#include "ui/QtClipboard.h"
#include "ui/MainForm.h"
#include "ui/QtDeliveryQueue.h"

namespace {

using Pondard::App::TPondardConfig;

#ifndef PONDAR_VERSION
#error "PONDAR_VERSION is set by the build (CMakeLists.txt, from the project's version)"
#endif

// Every option of the table with its default, in lines of at most 79 characters; the settings
// file's values come between the two.
void PrintHelp() {
  constexpr size_t Indent = 21, Width = 79;  // where each option's help begins, and ends at most
  std::string options;
  for (const auto& option : Pondard::App::CommandLineOptions()) {
    std::string line = "  " + std::string(option.Name);
    if (option.TakesValue()) line.append(" ").append(option.ValueName);
    line.resize(std::max(line.size(), Indent - 1), ' ');
    std::istringstream words{std::string(option.Help)};
    for (std::string word; words >> word;) {
      if (line.size() >= Indent && line.size() + 1 + word.size() > Width) {
        options += line + '\n';
        line.assign(Indent - 1, ' ');
      }
      line += ' ' + word;
    }
    options += line + '\n';
  }
  std::printf(
      "Usage: pondard [options]\n"
      "Keeps a shared folder in step with every Pondar peer on the local network.\n"
      "\n"
      "Options, with their defaults in brackets:\n"
      "%s"
      "\n"
      "Settings are read from %s,\n"
      "then from the options above. There, [FileSharing] Folder= chooses the shared\n"
      "folder (also over --in-pondar-folder), [Clipboard] Enabled=1 shares the\n"
      "clipboard as --clipboard does, and [Screen] Broadcast=1 shows this desk's\n"
      "screen (of $DISPLAY) to the other peers; both need an X display and are said\n"
      "to be unavailable without one. A peer without a window shows no other peer's\n"
      "screen. [Network] Key= (or --key-file) turns on the network key: make one\n"
      "with --new-key, give every peer of the group the same, and only they see\n"
      "and serve each other, encrypted. A key of your own is accepted too, but a\n"
      "generated key is the strong choice.\n"
      "Any other argument is ignored (launchers may add their own) and named on\n"
      "standard error; with a window, Qt first takes its own (-style, -reverse, ...).\n"
      "SIGINT or SIGTERM says goodbye to the peers and exits.\n",
      options.c_str(), Pondard::App::ConfigFilePath().c_str());
}

// The settings skip what they do not know, so that a launcher's own arguments do no harm; named
// here, so that a mistyped option (or one of a newer version) is not taken as obeyed.
void WarnAboutUnknownArguments(const std::vector<std::string>& AArgs) {
  for (const std::string& arg : Pondard::App::UnknownArguments(AArgs))
    std::fprintf(stderr, "pondard: unknown option %s, ignored\n", arg.c_str());
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

// The settings ignore or cut what they cannot use; say so here, so that a typing error is
// noticed. What is said comes from applying the options, to a copy: Init applies them again over
// the settings file.
void WarnAboutIgnoredValues(const std::vector<std::string>& AArgs) {
  for (const std::string& note : TPondardConfig().ApplyCommandLine(AArgs))
    std::fprintf(stderr, "pondard: %s\n", note.c_str());
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
  const Pondard::App::TProgramSwitches switches = Pondard::App::ReadProgramSwitches(args);
  if (switches.Help) {
    PrintHelp();
    return 0;
  }
  if (switches.Version) {
    std::printf("pondard %s\n", PONDAR_VERSION);
    return 0;
  }
  if (switches.NewKey) {
    try {
      std::printf("%s\n", Pondar::Net::NewNetworkKey().c_str());
    } catch (const std::exception& AError) {
      std::fprintf(stderr, "pondard: %s\n", AError.what());
      return 1;
    }
    return 0;
  }
  bool headless = switches.Headless;
  if (!headless) {
    std::string noWindowWhy;
    if (!XDisplayReachable(noWindowWhy)) {
      std::fprintf(stderr, "pondard: %s; running headless\n", noWindowWhy.c_str());
      headless = true;
    }
  }
  // Before anything looks at the current directory: it is the default shared folder.
  std::string noPondarFolderWhy;
  if (switches.InPondarFolder) EnterPondarFolder(noPondarFolderWhy);
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
