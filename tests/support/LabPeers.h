// Whole headless peers in the network lab, and what their logs say about syncing.
//
// TLabPeers runs "pondard --headless" as "peer<i>" on lab peer i, sharing <root>/peer<i>, with
// its settings under <root>/appdata<i> (APPDATA), so that no peer reads the machine's own
// settings. Standard output (the log) and standard error are kept apart. Typical use:
//
//   TNetLab lab(3);
//   TLabPeers peers(lab, sandbox.Path());
//   peers.StartAll();
//   ASSERT_TRUE(peers.WaitAllReady(30s)) << peers.Describe();
//   ASSERT_TRUE(peers.WaitAllFound(60s)) << peers.Describe();
//   ...
//   EXPECT_EQ(peers.StopAll(10s), "");
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/NetLab.h"

namespace PondarTest {

// Syncs a peer's log shows begun ("⇄ <peer>...", one list pulled from that peer each), and
// ended: in "✓" (done, or up to date) or in "⚠ <peer> - unreachable". Only whole lines count,
// so a line still being written is not half counted.
size_t SyncsBegun(const std::string& ALog);
size_t SyncsEnded(const std::string& ALog);

// Every file below ARoot as relative path -> content.
std::map<std::string, std::string> FolderContents(const std::filesystem::path& ARoot);

class TLabPeers {
 public:
  TLabPeers(TNetLab& ALab, std::filesystem::path ARoot);
  TLabPeers(const TLabPeers&) = delete;
  TLabPeers& operator=(const TLabPeers&) = delete;

  static std::string Name(int APeer) { return "peer" + std::to_string(APeer); }
  std::filesystem::path Folder(int APeer) const;
  int Count() const { return FLab.Peers(); }

  // Starts peer APeer (folders made as needed) with AExtraArgs after its own and AEnv in its
  // environment, and returns at once; StartAll starts every one.
  void Start(int APeer, const std::vector<std::string>& AExtraArgs = {},
             const std::map<std::string, std::string>& AEnv = {});
  void StartAll();
  // True once every peer has logged "▶ Ready", resp. has found every other ("● name (ip)").
  bool WaitAllReady(std::chrono::milliseconds ATimeout);
  bool WaitAllFound(std::chrono::milliseconds ATimeout);
  // True once every sync begun has ended and no peer has begun one for AQuiet; false after
  // ATimeout.
  bool WaitSettled(std::chrono::milliseconds AQuiet, std::chrono::milliseconds ATimeout);

  std::string Log(int APeer) const { return FProcs[Index(APeer)].ReadLog(); }
  TLabProcess& Process(int APeer) { return FProcs[Index(APeer)]; }
  // SyncsBegun of every peer's log, in peer order.
  std::vector<size_t> SyncsBegunEach() const;

  // SIGTERM to every running peer, then waits up to ATimeout for each. Empty when all ended
  // with status 0; otherwise which did not, with their standard error.
  std::string StopAll(std::chrono::milliseconds ATimeout);
  // Every peer's log and standard error, for the output of a failed test.
  std::string Describe() const;

 private:
  size_t Index(int APeer) const;

  TNetLab& FLab;
  std::filesystem::path FRoot;
  std::vector<TLabProcess> FProcs;
};

}  // namespace PondarTest
