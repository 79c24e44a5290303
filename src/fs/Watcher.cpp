#include "fs/Watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include "fs/FileList.h"
#include "fs/Scanner.h"

namespace Pondar::Fs {

using Core::TFileAction;

namespace {

// Each change is handed on only this long after it was read, so that the suppression lookup for
// it happens at least this long after the change, and a burst of changes arrives together.
constexpr std::chrono::milliseconds KSettle{200};
// Once a burst's first change has settled, the burst is over when nothing more has been read for
// this long: the rest of it is reported at once, rather than each change a settle after it came.
// A copy of a thousand small files that takes 150 ms is then told as soon as a single save
// would be, not 150 ms later; a large file still being written keeps the burst going.
constexpr std::chrono::milliseconds KBurstQuiet{50};
constexpr std::chrono::milliseconds KDrainGap{10};
// Upper bound of one wait.
constexpr int KWaitSliceMs = 1000;

constexpr uint32_t KWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                                IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

std::string Join(const std::string& ARelDir, const std::string& AName) {
  return ARelDir.empty() ? AName : ARelDir + "/" + AName;
}

}  // namespace

TFileWatcher::TFileWatcher(std::string ARootDir)
    : TFileWatcher(std::move(ARootDir), nullptr, nullptr) {}

TFileWatcher::TFileWatcher(std::string ARootDir, std::shared_ptr<TSuppressions> ASuppressions,
                           std::shared_ptr<TRecentDeletes> ARecentDeletes,
                           Core::TOnWorkerProblem AOnProblem)
    : TWorkerThread("Folder watcher"),
      FRootDir(std::move(ARootDir)),
      FSuppressions(std::move(ASuppressions)),
      FRecentDeletes(std::move(ARecentDeletes)) {
  OnProblem = std::move(AOnProblem);
  // Without the worker's wake-up descriptor a stop would have to wait out a whole wait: the
  // watcher does not start then.
  if (WakeFd() >= 0) OpenWatches();
  if (FInotifyFd < 0) {
    ReportProblem("Folder watcher cannot start (" + std::string(std::strerror(errno)) +
                  "): local changes are not seen until the next start");
  } else if (FSuppressions) {
    // Nothing made before the queue existed can show up in it.
    FSuppressions->WatcherReadUpTo(FSuppressions->Now());
  }
  // The tree is watched before the thread starts, so a change made right after construction
  // is never missed.
  Start();
}

TFileWatcher::~TFileWatcher() {
  // The inotify descriptor stays open until the thread has ended: closing one that the thread
  // is polling would race with it.
  Terminate();
  WaitFor();
  if (FInotifyFd >= 0) ::close(FInotifyFd);
}

void TFileWatcher::SetOnChange(TFileChangeEvent AHandler) {
  std::lock_guard lock(FHandlerLock);
  FOnChange = std::move(AHandler);
}

bool TFileWatcher::IsIgnoredPath(const RawUtf8& ARelPath) {
  // The scanner's name rule applied to the whole path is exactly this rule: a suffix test
  // catches a temporary file at any depth, while the equality test only matches "pondar.exe"
  // directly in the root.
  return IsExcludedName(ARelPath);
}

std::string TFileWatcher::FullPath(const std::string& ARelPath) const {
  return ARelPath.empty() ? FRootDir : LocalPath(FRootDir, ARelPath);
}

void TFileWatcher::OpenWatches() {
  if (FInotifyFd >= 0) ::close(FInotifyFd);
  FPathByWd.clear();
  FWdByPath.clear();
  FInotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FInotifyFd >= 0) WatchTree("", false);
}

void TFileWatcher::WatchTree(const std::string& ARelDir, bool AReport) {
  const std::string full = FullPath(ARelDir);
  // No IN_DONT_FOLLOW: a link to a folder is watched like a folder, as the scanner walks it.
  const int wd = ::inotify_add_watch(FInotifyFd, full.c_str(), KWatchMask);
  if (wd < 0) {
    if (errno == ENOSPC) ReportWatchLimit(ARelDir);
    return;  // gone again, not a folder, or the watch limit is reached
  }
  // inotify gives the same descriptor for a folder that is already watched, also when it is
  // reached through a link: that ends link cycles, and each folder keeps its first path.
  if (!FPathByWd.try_emplace(wd, ARelDir).second) return;
  FWdByPath[ARelDir] = wd;

  // The folder may have been filled before its watch existed (mkdir -p, a moved-in tree, a
  // quick writer): list it once, now that new changes are caught, and report what is there.
  std::vector<std::pair<std::string, bool>> children;
  if (DIR* dir = ::opendir(full.c_str())) {
    while (const struct dirent* rec = ::readdir(dir)) {
      const std::string name = rec->d_name;
      if (name == "." || name == "..") continue;
      bool isDir = rec->d_type == DT_DIR;
      if (rec->d_type == DT_LNK || rec->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = ::fstatat(::dirfd(dir), rec->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
      children.emplace_back(name, isDir);
    }
    ::closedir(dir);
  }
  for (const auto& [name, isDir] : children) {
    const std::string childRel = Join(ARelDir, name);
    if (AReport) Record(TFileAction::faCreated, childRel);
    if (isDir) WatchTree(childRel, AReport);
  }
}

void TFileWatcher::ReportWatchLimit(const std::string& ARelDir) {
  if (FWatchLimitReported) return;
  FWatchLimitReported = true;
  // The limit of this user namespace; in the first one it is fs.inotify.max_user_watches.
  std::string limit = "?";
  for (const char* file :
       {"/proc/sys/user/max_inotify_watches", "/proc/sys/fs/inotify/max_user_watches"}) {
    std::ifstream in(file);
    if (in >> limit) break;
  }
  ReportProblem("Folder watch limit reached (fs.inotify.max_user_watches = " + limit +
                "): changes in \"" + (ARelDir.empty() ? "." : ARelDir) +
                "\" and other folders past the limit are not seen; raise it with sysctl");
}

void TFileWatcher::ForgetTree(const std::string& ARelPath) {
  auto forget = [this](std::map<std::string, int>::iterator AIt) {
    ::inotify_rm_watch(FInotifyFd, AIt->second);
    FPathByWd.erase(AIt->second);
    return FWdByPath.erase(AIt);
  };
  if (auto it = FWdByPath.find(ARelPath); it != FWdByPath.end()) forget(it);
  const std::string prefix = ARelPath + "/";
  for (auto it = FWdByPath.lower_bound(prefix);
       it != FWdByPath.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
    it = forget(it);
}

void TFileWatcher::ForgetWatch(int AWd) {
  const auto it = FPathByWd.find(AWd);
  if (it == FPathByWd.end()) return;
  if (const auto byPath = FWdByPath.find(it->second);
      byPath != FWdByPath.end() && byPath->second == AWd)
    FWdByPath.erase(byPath);
  FPathByWd.erase(it);
}

void TFileWatcher::DrainEvents() {
  alignas(struct inotify_event) char buffer[64 * 1024];
  // A bounded number of reads per call, so that a writer who never pauses cannot keep the
  // thread from settling, reporting and seeing a stop request.
  for (int reads = 0; reads < 16 && !Terminated(); ++reads) {
    const uint64_t before = FSuppressions ? FSuppressions->Now() : 0;
    const ssize_t got = ::read(FInotifyFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {  // EAGAIN: the queue is empty, so every change made before is read
      if (got < 0 && errno == EAGAIN && FSuppressions) FSuppressions->WatcherReadUpTo(before);
      return;
    }
    for (ssize_t pos = 0; pos < got;) {
      const auto* ev = reinterpret_cast<const struct inotify_event*>(buffer + pos);
      pos += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
      HandleEvent(ev->wd, ev->mask, ev->len > 0 ? ev->name : "");
    }
  }
}

void TFileWatcher::HandleEvent(int AWd, uint32_t AMask, const char* AName) {
  if (AMask & IN_Q_OVERFLOW) {
    FOverflowed = true;
    return;
  }
  if (AMask & IN_IGNORED) {
    ForgetWatch(AWd);
    return;
  }
  if (FOverflowed) return;  // the batch is lost and the watches are rebuilt anyway
  const auto dir = FPathByWd.find(AWd);
  if (dir == FPathByWd.end()) return;  // a watch already forgotten: its folder moved away
  // Events about a watched folder itself carry no name; its parent reports the same change.
  if (*AName == '\0') return;
  // A download makes most of the events (a create, writes, a time, a close, a move away) under
  // a temporary name that is never reported: they go before any work is done for them.
  if (!(AMask & IN_ISDIR) && IsTempName(AName)) return;
  const std::string rel = Join(dir->second, AName);

  if (AMask & (IN_DELETE | IN_MOVED_FROM)) {
    if (FRecentDeletes && !IsIgnoredPath(rel))
      FRecentDeletes->Record(rel, Core::CurrentUtcTime(), Core::GetTickCount64());
    Record(TFileAction::faDeleted, rel);
    // A folder moved elsewhere keeps its watches, and a removed link keeps the watch of the
    // folder it led to: drop them, or changes outside the tree would be reported under this
    // path. A folder moved within the tree is watched again under its new name below.
    ForgetTree(rel);
  } else if (AMask & (IN_CREATE | IN_MOVED_TO)) {
    Record(TFileAction::faCreated, rel);
    bool isDir = (AMask & IN_ISDIR) != 0;
    if (!isDir) {
      // A new link to a folder arrives as a plain entry; it is walked like a folder.
      struct stat st;
      isDir = ::stat(FullPath(rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (isDir) WatchTree(rel, true);
  } else if (AMask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)) {
    Record(TFileAction::faModified, rel);
  }
}

void TFileWatcher::Record(TFileAction AAction, const RawUtf8& ARelPath) {
  // Our own change is told by its hold when its event is read, which the hold outlasts
  // (Suppressions.h); the lookup when the change is reported catches a hold taken meanwhile.
  if (FSuppressions && FSuppressions->IsSuppressed(ARelPath, AAction)) return;
  FLastArrival = std::chrono::steady_clock::now();  // a repeat merged below keeps a burst going
  // A write comes as several IN_MODIFY and an IN_CLOSE_WRITE, and a folder's first listing may
  // repeat a create that its watch also saw: while such a report is still waiting it already
  // covers the repeat, which would tell the listener nothing new. Likewise the writes that
  // follow a create still waiting are part of making the file: one report of a new file, not
  // two, so that the listener's rate limit is not spent on the second half of one save.
  const auto last = FLastPending.find(ARelPath);
  if (last != FLastPending.end()) {
    const TFileAction waiting = last->second.first;
    if (waiting == AAction) return;
    if (waiting == TFileAction::faCreated && AAction == TFileAction::faModified) return;
    FLastPending.erase(last);  // its key is the older report's path, which goes first
  }
  const uint64_t seq = FNextSeq++;
  FPending.push_back(TPendingChange{AAction, ARelPath, std::chrono::steady_clock::now(), seq});
  FLastPending.emplace(FPending.back().RelPath, std::pair{AAction, seq});
}

void TFileWatcher::ProcessDue(std::chrono::steady_clock::time_point ANow) {
  const bool burstOver = FInBurst && ANow - FLastArrival >= KBurstQuiet;
  while (!FPending.empty() && !Terminated()) {
    if (ANow - FPending.front().ArrivedAt < KSettle && !burstOver) return;
    if (const auto last = FLastPending.find(FPending.front().RelPath);
        last != FLastPending.end() && last->second.second == FPending.front().Seq)
      FLastPending.erase(last);
    TPendingChange change = std::move(FPending.front());
    FPending.pop_front();
    FInBurst = !FPending.empty();
    Report(change.Action, change.RelPath, FInBurst);
  }
}

void TFileWatcher::Report(TFileAction AAction, const RawUtf8& ARelPath, bool AMoreComing) {
  if (IsIgnoredPath(ARelPath)) return;
  if (ARelPath.find("..") != RawUtf8::npos) return;
  if (FSuppressions && FSuppressions->IsSuppressed(ARelPath, AAction)) return;
  TFileChangeEvent handler;
  {
    std::lock_guard lock(FHandlerLock);
    handler = FOnChange;
  }
  if (handler) handler(AAction, ARelPath, AMoreComing);
}

void TFileWatcher::Execute() {
  // Holds no longer wait for this watcher's reading once it has stopped.
  struct TGone {
    TSuppressions* List;
    ~TGone() {
      if (List) List->WatcherGone();
    }
  } gone{FSuppressions.get()};
  if (FInotifyFd < 0 || WakeFd() < 0) return;
  auto lastDrain = std::chrono::steady_clock::time_point{};
  while (!Terminated()) {
    // Nothing left to watch (the root itself is gone) and nothing left to report: done.
    if (FPathByWd.empty() && FPending.empty()) return;
    int timeout = KWaitSliceMs;
    if (!FPending.empty()) {
      // Rounded up, so that the wait never ends just before the oldest change is due.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          FPending.front().ArrivedAt + KSettle - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, KWaitSliceMs));
      if (FInBurst) {
        const auto quietAt = std::chrono::ceil<std::chrono::milliseconds>(
            FLastArrival + KBurstQuiet - std::chrono::steady_clock::now());
        timeout = std::min(timeout, static_cast<int>(std::max<int64_t>(quietAt.count(), 0)));
      }
    }
    // While events stream in (a download makes several per file), the queue is read at most
    // once per KDrainGap, so that one wake-up takes many events; a stop is still seen at once.
    const auto now = std::chrono::steady_clock::now();
    const int gapLeft = static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(lastDrain + KDrainGap - now).count());
    const bool paced = gapLeft > 0;
    if (paced) timeout = std::min(timeout, gapLeft);
    struct pollfd fds[2] = {{WakeFd(), POLLIN, 0}, {FInotifyFd, POLLIN, 0}};
    const uint64_t beforePoll = FSuppressions ? FSuppressions->Now() : 0;
    if (::poll(fds, paced ? 1 : 2, timeout) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (Terminated() || (fds[0].revents & POLLIN)) return;
    if (fds[1].revents & (POLLERR | POLLNVAL)) return;
    // A wait on the queue that ended without an event: nothing made before it is unread.
    if (!paced && !fds[1].revents && FSuppressions) FSuppressions->WatcherReadUpTo(beforePoll);
    if (fds[1].revents & POLLIN) {
      DrainEvents();
      lastDrain = std::chrono::steady_clock::now();
    }
    if (FOverflowed) {
      // The kernel dropped events: this batch is lost, and watches for folders that appeared
      // unseen are missing. Start afresh with a new queue over the tree as it is now.
      FLastPending.clear();
      FPending.clear();
      FInBurst = false;
      FOverflowed = false;
      OpenWatches();
      if (FInotifyFd < 0) {
        ReportProblem("Folder watcher stopped (" + std::string(std::strerror(errno)) +
                      "): local changes are not seen until the next start");
        return;
      }
    }
    ProcessDue(std::chrono::steady_clock::now());
  }
}

}  // namespace Pondar::Fs
