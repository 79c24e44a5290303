#include "app/ChangeCoordinator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "core/Captions.h"
#include "fs/FileList.h"
#include "fs/Scanner.h"
#include "net/Outbox.h"

namespace Pondard::App {

using Pondar::Core::FormatCaption;
using Pondar::Core::GetTickCount64;
using Pondar::Core::TFileAction;
using Pondar::Core::TPeerInfoDynArray;
namespace Captions = Pondar::Core::Captions;

TChangeCoordinator::TChangeCoordinator(std::shared_ptr<Pondar::Fs::TFileList> AFiles,
                                       TSinkRoute ARoute, TChangeLinks ALinks)
    : FFiles(std::move(AFiles)), FRoute(std::move(ARoute)), FLinks(std::move(ALinks)) {}

TChangeCoordinator::~TChangeCoordinator() {
  Stop();
}

void TChangeCoordinator::Start(const std::string& AFolder, bool AFileSharing) {
  FFolder = AFolder;
  FFileSharing = AFileSharing;
  {
    std::lock_guard lock(FRateLock);
    FNoticeWindow.DropScheduledEnd();
    FPendingNoticeIPs.clear();
    FLocalChangeWindow.DropScheduledEnd();
    FPendingChangePath.clear();
    FBurstOpen = false;
  }
  FWork = std::make_unique<TTimerQueue>();
}

void TChangeCoordinator::ScanThen(std::function<void()> AThen) {
  if (!FFileSharing) {
    if (AThen) AThen();
    return;
  }
  FRoute.Log(RawUtf8(Captions::Scanning));
  Post(0, [this, then = std::move(AThen)] {
    ScanAtStart();
    if (then) then();
  });
}

void TChangeCoordinator::Walk(const Pondar::Fs::TEntrySink& ASink,
                              std::vector<std::string>* ALeftovers) const {
  if (FLinks.Walk) {
    FLinks.Walk(FFolder, ASink, ALeftovers);
  } else {
    Pondar::Fs::ScanFolder(FFolder, ASink, ALeftovers);
  }
}

void TChangeCoordinator::Stop() {
  if (FWork) FWork->Stop();
}

void TChangeCoordinator::ScanAtStart() {
  std::vector<std::string> leftovers;
  // Syncs of an earlier run, and of this one, may be writing into the list meanwhile.
  FFiles->Rescan([&](const Pondar::Fs::TEntrySink& ASink) { Walk(ASink, &leftovers); });
  // A sync of an earlier run may still be receiving into one of them; with none running, each
  // is what a killed run left behind.
  if (!leftovers.empty() && !FLinks.SyncsRunning())
    for (const auto& path : leftovers) ::unlink(path.c_str());
  FRoute.Log(FormatCaption(Captions::FilesCount, {static_cast<int64_t>(FFiles->Size())}));
}

void TChangeCoordinator::Post(uint64_t ADelayMs, std::function<void()> AAction) {
  if (!FWork) return;
  FWork->Schedule(ADelayMs, [this, action = std::move(AAction)] {
    Pondar::Core::RunReportingErrors(action, "Handling a change", FRoute.Problems());
  });
}

// ---- peers' notices ----

void TChangeCoordinator::OnChangesNotify(const RawUtf8& APeerIP) {
  if (!FFileSharing) return;
  {
    std::lock_guard lock(FRateLock);
    if (!FNoticeWindow.Admit(GetTickCount64(), [this](uint64_t ADelayMs) {
          Post(ADelayMs, [this] { TakeUpPendingNotices(); });
        })) {
      FPendingNoticeIPs.insert(APeerIP);
      return;
    }
  }
  SyncWithPeerAt(APeerIP);
}

void TChangeCoordinator::TakeUpPendingNotices() {
  std::set<RawUtf8> ips;
  {
    std::lock_guard lock(FRateLock);
    ips.swap(FPendingNoticeIPs);
    FNoticeWindow.Ended(GetTickCount64(), !ips.empty());
  }
  for (const auto& ip : ips) SyncWithPeerAt(ip);
}

void TChangeCoordinator::SyncWithPeerAt(const RawUtf8& APeerIP) {
  for (const auto& peer : FLinks.Peers()) {
    if (peer.IP == APeerIP) {
      FLinks.SyncWith(peer);
      return;
    }
  }
}

// ---- local changes ----

void TChangeCoordinator::OnLocalChange(TFileAction AAction, const RawUtf8& ARelPath,
                                       bool AMoreComing) {
  if (!FFileSharing) return;
  switch (AAction) {
    case TFileAction::faCreated:
    case TFileAction::faModified: {
      // A download reported after its hold ran out (a watcher far behind, under load): the
      // file is what the list already says, so there is nothing to rescan or tell. Nor is a
      // folder ever listed: the files in it are reported on their own, and a new empty one
      // would spend the window, holding back the files the user copies into it next. Either
      // may still be the last report of a burst.
      const bool unchanged = IsFolder(ARelPath) || ListedAsOnDisk(ARelPath);
      std::lock_guard lock(FRateLock);
      if (!unchanged) HoldOrTakeUp(ARelPath, AMoreComing);
      if (FBurstOpen && !AMoreComing) {
        FBurstOpen = false;
        Post(0, [this] { TakeUpBurst(); });
      }
      break;
    }
    case TFileAction::faDeleted:
      Post(0, [this, path = ARelPath] { TakeUpLocalDelete(path); });
      break;
    case TFileAction::faRenamed:
      break;
  }
}

bool TChangeCoordinator::IsFolder(const RawUtf8& ARelPath) const {
  struct stat st;
  return ::stat(Pondar::Fs::LocalPath(FFolder, ARelPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TChangeCoordinator::ListedAsOnDisk(const RawUtf8& ARelPath) const {
  const auto listed = FFiles->Find(ARelPath);
  if (!listed || !Pondar::Core::IsValidDayCount(listed->ModifiedUtc)) return false;
  const auto onDisk = Pondar::Fs::StatEntry(FFolder, listed->RelPath);
  return onDisk && onDisk->Size == listed->Size &&
         Pondar::Core::RoundHalfEven(std::fabs(onDisk->ModifiedUtc - listed->ModifiedUtc) *
                                     86400.0) == 0;
}

void TChangeCoordinator::HoldOrTakeUp(const RawUtf8& ARelPath, bool AMoreComing) {
  const uint64_t now = GetTickCount64();
  const auto scheduleEnd = [this](uint64_t ADelayMs) {
    Post(ADelayMs, [this] { TakeUpPendingLocalChange(); });
  };
  if (!FLocalChangeWindow.Admit(now, scheduleEnd)) {
    FPendingChangePath = ARelPath;
    return;
  }
  // This take-up covers whatever was waiting for the window's end.
  FPendingChangePath.clear();
  if (AMoreComing) {
    // Told now, the first file of a copy would go out alone: a peer's sync would fetch it,
    // and the rest would wait for that peer's next notice window. Held until the copy has
    // been read whole; the window's end bounds the wait, should its last report never come
    // (suppressed, or merged away).
    FBurstOpen = true;
    FPendingChangePath = ARelPath;
    FLocalChangeWindow.HoldAdmitted(now, scheduleEnd);
    return;
  }
  Post(0, [this, path = ARelPath] { TakeUpLocalChange(path, true); });
}

void TChangeCoordinator::TakeUpBurst() {
  RawUtf8 path;
  {
    std::lock_guard lock(FRateLock);
    path.swap(FPendingChangePath);  // empty: the window's end took it up already
    if (!path.empty()) FLocalChangeWindow.TookUp(GetTickCount64());
  }
  if (!path.empty()) TakeUpLocalChange(path, false);
}

void TChangeCoordinator::TakeUpPendingLocalChange() {
  RawUtf8 path;
  {
    std::lock_guard lock(FRateLock);
    FBurstOpen = false;
    path.swap(FPendingChangePath);
    FLocalChangeWindow.Ended(GetTickCount64(), !path.empty());
  }
  if (!path.empty()) TakeUpLocalChange(path, false);
}

void TChangeCoordinator::TakeUpLocalChange(const RawUtf8& ARelPath, bool AFirstOfWindow) {
  const auto peers = FLinks.Peers();
  FRoute.Log(FormatCaption(Captions::LocalChange, {ARelPath}));
  // The first change of a window is all that has been reported since the last take-up, so a
  // file can be listed and told at once; the rescan, a walk of the whole folder, follows.
  // Changes held back in a window may be many, and only the last one is kept: those are told
  // once the rescan has listed them all. Every change of the list is told as it is made, so a
  // rescan that finds the list as it was has nothing new to tell.
  if (AFirstOfWindow) {
    if (const auto entry = Pondar::Fs::StatEntry(FFolder, ARelPath)) {
      FFiles->Store(*entry);
      NotifyPeersOfChange(*FLinks.Outbox, peers);
    }
  }
  if (Rescan()) NotifyPeersOfChange(*FLinks.Outbox, peers);
}

void TChangeCoordinator::TakeUpLocalDelete(const RawUtf8& ARelPath) {
  const auto peers = FLinks.Peers();
  FRoute.Log(FormatCaption(Captions::LocalDelete, {ARelPath}));
  std::vector<RawUtf8> removed = FFiles->RemoveAt(ARelPath);
  // Peers apply deletes to files only: a folder deleted or moved away is told to them file by
  // file, or every file in it would come back with the next pull.
  if (removed.empty()) removed.push_back(ARelPath);
  NotifyPeersOfDelete(*FLinks.Outbox, removed, peers);
}

bool TChangeCoordinator::Rescan() {
  // The walk holds no lock: the server and the syncs go on with the list meanwhile.
  return FFiles->Rescan([this](const Pondar::Fs::TEntrySink& ASink) { Walk(ASink, nullptr); });
}

// ---- notices to peers ----

void TChangeCoordinator::NotifyPeersOfChange(Pondar::Net::TPeerOutbox& AOutbox,
                                             const TPeerInfoDynArray& APeers) {
  AOutbox.Post(APeers, {Pondar::Net::ChangesNotifyMessage()});
}

void TChangeCoordinator::NotifyPeersOfDelete(Pondar::Net::TPeerOutbox& AOutbox,
                                             const std::vector<RawUtf8>& ARelPaths,
                                             const TPeerInfoDynArray& APeers) {
  if (APeers.empty() || ARelPaths.empty()) return;
  std::vector<Pondar::Net::TOutMessage> notices;
  notices.reserve(ARelPaths.size());
  for (const auto& path : ARelPaths) notices.push_back(Pondar::Net::DeleteNotifyMessage(path));
  AOutbox.Post(APeers, std::move(notices));
}

}  // namespace Pondard::App
