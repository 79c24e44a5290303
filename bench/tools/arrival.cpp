// Times an arrival for the lab benchmarks: starts the clock, performs the action, and waits by
// inotify (never by polling) until what the action should bring about is there, then prints the
// milliseconds. A shell loop that forks `date` and `sleep` per look adds tens of milliseconds to
// every sample; this waits in one poll() and looks only when the kernel says something changed.
//
//   arrival [--timeout SECONDS] WAIT ACTION
//   WAIT    --file PATH          until PATH is a regular file under that name
//           --count N DIR        until N regular files are below DIR (in nested folders too),
//                                downloads under way (*.pondartmp) not counted
//   ACTION  --write PATH BYTES   writes BYTES random bytes to PATH (made ready before the clock)
//           --rename FROM TO     renames FROM to TO
//           -- COMMAND ARGS...   runs the command; its own duration is printed too
//
// Prints "ARRIVAL_MS ACTION_MS" (from the start of the action until the arrival, and until the
// action itself returned) and exits 0; exits 1 on a time-out (default 60 s), a failed action or
// a target that is there before the action, saying which on standard error.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& AWhat) {
  std::fprintf(stderr, "arrival: %s\n", AWhat.c_str());
  std::exit(1);
}

[[noreturn]] void DieErrno(const std::string& AWhat) {
  Die(AWhat + ": " + std::strerror(errno));
}

bool EndsWith(const std::string& AText, const char* ASuffix) {
  const size_t n = std::strlen(ASuffix);
  return AText.size() >= n && AText.compare(AText.size() - n, n, ASuffix) == 0;
}

bool IsDirectory(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& APath) {
  struct stat st {};
  return ::lstat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Parent(const std::string& APath) {
  const auto slash = APath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : APath.substr(0, slash);
}

std::string StripSlashes(std::string APath) {
  while (APath.size() > 1 && APath.back() == '/') APath.pop_back();
  return APath;
}

// The folder tree below one root, watched whole: folders that appear are watched as they come
// (and read once, for what arrived before their watch), and the regular files below the
// counted folder are kept by path, so that a look costs no walk of the tree.
class TTreeWatch {
 public:
  TTreeWatch(std::string ARoot, std::string ACounted)
      : FRoot(std::move(ARoot)), FCounted(std::move(ACounted) + "/") {
    FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FFd < 0) DieErrno("inotify_init1");
    AddTree(FRoot);
  }

  int Fd() const { return FFd; }
  size_t Files() const { return FFiles.size(); }

  // Takes in what the kernel has queued; false when nothing was queued.
  bool Drain() {
    alignas(inotify_event) char buf[64 * 1024];
    bool any = false;
    for (;;) {
      const ssize_t n = ::read(FFd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return any;
      if (n <= 0) DieErrno("reading inotify events");
      any = true;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        Handle(*e);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }

 private:
  static constexpr uint32_t Mask =
      IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR | IN_EXCL_UNLINK;

  void Handle(const inotify_event& AEvent) {
    if (AEvent.mask & IN_Q_OVERFLOW) {
      // Events were lost: what is there now is read again from the disk.
      FFiles.clear();
      AddTree(FRoot);
      return;
    }
    const auto dir = FDirs.find(AEvent.wd);
    if (dir == FDirs.end() || AEvent.len == 0) return;
    const std::string path = dir->second + "/" + AEvent.name;
    const bool comes = AEvent.mask & (IN_CREATE | IN_MOVED_TO);
    if (AEvent.mask & IN_ISDIR) {
      if (comes) {
        AddTree(path);
      } else {
        // A folder that went takes what was counted below it along.
        const std::string below = path + "/";
        for (auto it = FFiles.lower_bound(below);
             it != FFiles.end() && it->compare(0, below.size(), below) == 0;)
          it = FFiles.erase(it);
      }
      return;
    }
    if (comes)
      Count(path);
    else
      FFiles.erase(path);
  }

  void Count(const std::string& APath) {
    if (APath.compare(0, FCounted.size(), FCounted) != 0 || EndsWith(APath, ".pondartmp")) return;
    if (IsRegularFile(APath)) FFiles.insert(APath);
  }

  // Watches the folder first and reads it after, so that nothing made in between is missed;
  // what both the read and an event report is counted once.
  void AddTree(const std::string& ADir) {
    const int wd = ::inotify_add_watch(FFd, ADir.c_str(), Mask);
    if (wd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return;  // gone again already
      DieErrno("watching " + ADir);
    }
    FDirs[wd] = ADir;
    DIR* d = ::opendir(ADir.c_str());
    if (!d) return;
    while (const dirent* entry = ::readdir(d)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = ADir + "/" + name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))  // links to folders not followed
        AddTree(path);
      else
        Count(path);
    }
    ::closedir(d);
  }

  std::string FRoot;
  std::string FCounted;
  int FFd = -1;
  std::unordered_map<int, std::string> FDirs;
  std::set<std::string> FFiles;
};

// The deepest folder on the way to APath that exists: the target's folder may itself arrive.
std::string ExistingAncestor(std::string APath) {
  while (!IsDirectory(APath)) {
    if (APath == "/" || APath == ".") Die("no folder on the way to " + APath + " exists");
    APath = Parent(APath);
  }
  return APath;
}

double MsSince(Clock::time_point AStart) {
  return std::chrono::duration<double, std::milli>(Clock::now() - AStart).count();
}

int Usage() {
  std::fprintf(stderr,
               "usage: arrival [--timeout SECONDS] (--file PATH | --count N DIR)\n"
               "               (--write PATH BYTES | --rename FROM TO | -- COMMAND ARGS...)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  double timeoutSec = 60;
  std::string file, countDir, writePath, renameFrom, renameTo;
  long long count = -1, writeBytes = -1;
  char** command = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const int left = argc - i - 1;
    if (a == "--timeout" && left >= 1) {
      timeoutSec = std::atof(argv[++i]);
    } else if (a == "--file" && left >= 1) {
      file = StripSlashes(argv[++i]);
    } else if (a == "--count" && left >= 2) {
      count = std::atoll(argv[++i]);
      countDir = StripSlashes(argv[++i]);
    } else if (a == "--write" && left >= 2) {
      writePath = argv[++i];
      writeBytes = std::atoll(argv[++i]);
    } else if (a == "--rename" && left >= 2) {
      renameFrom = argv[++i];
      renameTo = argv[++i];
    } else if (a == "--" && left >= 1) {
      command = argv + i + 1;
      break;
    } else {
      return Usage();
    }
  }
  const int waits = !file.empty() + (count >= 0);
  const int actions = (writeBytes >= 0) + !renameFrom.empty() + (command != nullptr);
  if (waits != 1 || actions != 1 || timeoutSec <= 0) return Usage();

  const bool byName = !file.empty();
  TTreeWatch watch(ExistingAncestor(byName ? Parent(file) : countDir), byName ? file : countDir);
  const auto arrived = [&] {
    return byName ? IsRegularFile(file) : watch.Files() >= static_cast<size_t>(count);
  };
  if (arrived()) Die((byName ? file : countDir) + " is there before the action");

  // The bytes to write are made before the clock starts: what is timed is the save alone.
  std::vector<char> content(static_cast<size_t>(std::max(writeBytes, 0LL)));
  for (size_t at = 0; at < content.size();) {
    const ssize_t n = ::getrandom(content.data() + at, content.size() - at, 0);
    if (n < 0 && errno != EINTR) DieErrno("getrandom");
    if (n > 0) at += static_cast<size_t>(n);
  }

  const Clock::time_point start = Clock::now();
  double actionMs = -1;
  int child = -1;  // a pidfd while the command runs
  pid_t pid = -1;
  if (writeBytes >= 0) {
    const int fd = ::open(writePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) DieErrno("creating " + writePath);
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
      DieErrno("writing " + writePath);
    if (::close(fd) != 0) DieErrno("writing " + writePath);
    actionMs = MsSince(start);
  } else if (!renameFrom.empty()) {
    if (::rename(renameFrom.c_str(), renameTo.c_str()) != 0)
      DieErrno("renaming " + renameFrom + " to " + renameTo);
    actionMs = MsSince(start);
  } else {
    pid = ::fork();
    if (pid < 0) DieErrno("fork");
    if (pid == 0) {
      ::execvp(command[0], command);
      std::fprintf(stderr, "arrival: cannot run %s: %s\n", command[0], std::strerror(errno));
      ::_exit(127);
    }
    child = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (child < 0) DieErrno("pidfd_open");
  }

  double arrivalMs = -1;
  const auto deadline = start + std::chrono::duration<double>(timeoutSec);
  while (arrivalMs < 0 || child >= 0) {
    if (arrivalMs < 0 && arrived()) arrivalMs = MsSince(start);
    if (arrivalMs >= 0 && child < 0) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      if (child >= 0) ::kill(pid, SIGKILL);
      Die("timed out after " + std::to_string(static_cast<int>(timeoutSec * 1000)) + " ms waiting for " +
          (byName ? file : std::to_string(watch.Files()) + " of " + std::to_string(count) +
                               " files below " + countDir));
    }
    pollfd fds[2] = {{watch.Fd(), POLLIN, 0}, {child, POLLIN, 0}};
    const int rc = ::poll(fds, child >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
    if (rc < 0 && errno != EINTR) DieErrno("poll");
    watch.Drain();
    if (child >= 0 && (fds[1].revents & POLLIN)) {
      actionMs = MsSince(start);
      int status = 0;
      if (::waitpid(pid, &status, 0) != pid) DieErrno("waitpid");
      ::close(child);
      child = -1;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Die(std::string(command[0]) + " failed (status " + std::to_string(status) + ")");
    }
  }
  std::printf("%.1f %.1f\n", arrivalMs, actionMs);
  return 0;
}
