#include "main/Program.h"

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <sstream>

#include "net/NetworkKey.h"

namespace Pondard::Program {

using App::TPondardConfig;

#ifndef PONDAR_VERSION
#error "PONDAR_VERSION is set by the build (CMakeLists.txt, from the project's version)"
#endif

namespace {

// Every option of the table with its default, in lines of at most 79 characters; the settings
// file's values come between the two.
void PrintHelp() {
  constexpr size_t Indent = 21, Width = 79;  // where each option's help begins, and ends at most
  std::string options;
  for (const auto& option : App::CommandLineOptions()) {
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
      options.c_str(), App::ConfigFilePath().c_str());
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

}  // namespace

void TuneMalloc() {
  // Few threads here allocate at once, while lists of a large share (10 MB at 100 000 files)
  // come and go on several of them: two heaps instead of one per thread, and every large block
  // mapped on its own, so that what a rescan or a sync frees goes back to the system instead of
  // staying behind in the heap of the thread that last used it.
  ::mallopt(M_ARENA_MAX, 2);
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

std::optional<int> AnswerInfoSwitches(const App::TProgramSwitches& ASwitches) {
  if (ASwitches.Help) {
    PrintHelp();
    return 0;
  }
  if (ASwitches.Version) {
    std::printf("pondard %s\n", PONDAR_VERSION);
    return 0;
  }
  if (ASwitches.NewKey) {
    try {
      std::printf("%s\n", Pondar::Net::NewNetworkKey().c_str());
    } catch (const std::exception& AError) {
      std::fprintf(stderr, "pondard: %s\n", AError.what());
      return 1;
    }
    return 0;
  }
  return std::nullopt;
}

bool XDisplayReachable(std::string& AWhy) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    AWhy = "no X display (DISPLAY is not set)";
    return false;
  }
  // xcb's own three calls, by name: linking the library would keep it in every headless peer.
  struct TConnection;
  using TConnect = TConnection* (*)(const char*, int*);
  using THasError = int (*)(TConnection*);
  using TDisconnect = void (*)(TConnection*);
  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  const auto connect = xcb ? reinterpret_cast<TConnect>(::dlsym(xcb, "xcb_connect")) : nullptr;
  const auto hasError =
      xcb ? reinterpret_cast<THasError>(::dlsym(xcb, "xcb_connection_has_error")) : nullptr;
  const auto disconnect =
      xcb ? reinterpret_cast<TDisconnect>(::dlsym(xcb, "xcb_disconnect")) : nullptr;
  if (!connect || !hasError || !disconnect) {
    if (xcb) ::dlclose(xcb);
    AWhy = std::string("the X display ") + display + " cannot be reached without libxcb.so.1";
    return false;
  }
  TConnection* connection = connect(display, nullptr);
  const bool reached = hasError(connection) == 0;
  disconnect(connection);
  ::dlclose(xcb);
  if (!reached) AWhy = std::string("the X display ") + display + " cannot be reached";
  return reached;
}

void WarnAboutUnknownArguments(const std::vector<std::string>& AArgs) {
  for (const std::string& arg : App::UnknownArguments(AArgs))
    std::fprintf(stderr, "pondard: unknown option %s, ignored\n", arg.c_str());
}

std::optional<int> PrepareRun(const std::vector<std::string>& AArgs,
                              const App::TProgramSwitches& ASwitches, bool AHeadless,
                              TPondardConfig& AConfig, sigset_t& AStopSignals) {
  // Before anything looks at the current directory: it is the default shared folder.
  std::string noPondarFolderWhy;
  if (ASwitches.InPondarFolder) EnterPondarFolder(noPondarFolderWhy);
  WarnAboutIgnoredValues(AArgs);
  if (AHeadless) WarnAboutUnknownArguments(AArgs);

  // Signals are taken by one thread of their own; every other thread, created later, blocks them.
  sigemptyset(&AStopSignals);
  sigaddset(&AStopSignals, SIGINT);
  sigaddset(&AStopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &AStopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  AConfig.Init(AArgs);
  if (!noPondarFolderWhy.empty()) {
    // Sharing the folder the launcher happened to start us in is what the option is there to
    // prevent; a folder chosen in the settings or by --folder is still fine.
    std::error_code ec;
    if (AConfig.Folder == std::filesystem::current_path(ec).string()) {
      std::fprintf(stderr, "pondard: --in-pondar-folder: %s; not starting, rather than share %s\n",
                   noPondarFolderWhy.c_str(), AConfig.Folder.c_str());
      return 1;
    }
    std::fprintf(stderr, "pondard: --in-pondar-folder: %s\n", noPondarFolderWhy.c_str());
  }
  return std::nullopt;
}

void SayStarting(const TPondardConfig& AConfig) {
  std::fprintf(stderr, "pondard: %s sharing %s (UDP %u, TCP %u)\n", AConfig.Name.c_str(),
               AConfig.Folder.c_str(), AConfig.UdpPort, AConfig.TcpPort);
}

void PrintLine(const App::RawUtf8& ALine) {
  std::fwrite(ALine.data(), 1, ALine.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace Pondard::Program
