// A private network for multi-peer tests: one network namespace per peer, joined by a bridge.
//
// TNetLab builds the network with tests/lab/netlab.sh (root needed) and always takes it down
// again. Peers are numbered from 1; peer i has the address PeerIp(i) = 10.213.0.i/24 on an
// interface whose name starts with InterfacePrefix(), and 255.255.255.255 is routed out of that
// interface, so a broadcast sent by one peer reaches all the others and nothing else. The hub
// namespace (index 0) only holds the bridge.
//
// A lab may have a second bridge, for a machine on two networks: built from a list of links,
// it joins each peer to the first bridge, the second or both. On the second, peer i has
// PeerIp(i, 2) = 10.214.0.i/24. A peer on both routes 255.255.255.255 out of its first
// network's interface only, as a host's routing table picks one interface for it.
//
// Typical use:
//
//   std::string why;
//   if (!TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
//   TNetLab lab(3);
//   TSpawnOptions o;
//   o.Env["APPDATA"] = sandbox.Str();
//   o.WorkDir = sandbox.Str();
//   TLabProcess p1 = lab.Spawn(1, {PONDARD_EXE, "--headless", "--name", "one"}, o);
//   WaitFor([&] { return p1.ReadLog().find("Ready") != std::string::npos; });
//   p1.Signal(SIGTERM);
//   auto status = p1.WaitExit(std::chrono::seconds(5));   // nullopt: still running
//
// Clean-up: the destructor kills every process left in the lab's namespaces and removes them,
// also when the test failed. If the test process dies without running it (crash, SIGKILL from a
// time-out), a guardian process started with the lab notices and removes the lab, and the next
// lab built on this machine sweeps away labs whose owner has died. Lab names are "pl<pid>x<n>".
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "net/Socket.h"

namespace PondarTest {

// The program the lab's peers run: $PONDAR_PONDARD when set (an older build, to see what a
// test finds there), else the one built beside the tests.
std::string PondardExe();

// The full path of a small program built from tests/programs/<AName>.cpp.
std::string TestProgramPath(const std::string& AName);

// The full path of AName (looked up in the folders of $PATH unless it holds a "/"), or "" when
// there is no such executable file; HaveProgram: whether there is one.
std::string FindProgram(const std::string& AName);
inline bool HaveProgram(const std::string& AName) { return !FindProgram(AName).empty(); }

// Where a spawned process writes.
enum class TLogStreams {
  StdoutAndStderr,  // both into the log file, interleaved as written
  StdoutOnly,       // stdout into the log file, stderr into "<log>.stderr"
};

struct TSpawnOptions {
  // Set in the process's environment on top of the test's own (same key: this value wins).
  std::map<std::string, std::string> Env;
  // Current directory of the process; empty keeps the test's.
  std::string WorkDir;
  // Created or truncated. Empty: "<LogDir>/p<peer>-<n>.log".
  std::string LogPath;
  TLogStreams Streams = TLogStreams::StdoutAndStderr;
};

// The environment, on top of the test's, of a program that runs Qt on the X display ADisplay.
// Qt and the libraries under it are not built for ThreadSanitizer, which takes every hand-off
// between their threads for a race: the program runs under it without reports (our code on
// those threads is checked by the tests that fake the desktop).
std::map<std::string, std::string> QtPeerEnv(const std::string& ADisplay);

// One process running in a lab namespace. Owns it: the destructor kills it (SIGKILL) if it is
// still running and reaps it. Movable, not copyable. Not thread-safe: use from one thread.
class TLabProcess {
 public:
  TLabProcess() = default;
  TLabProcess(pid_t APid, std::string ALogPath, std::string AErrPath);
  TLabProcess(TLabProcess&& AOther) noexcept;
  TLabProcess& operator=(TLabProcess&& AOther) noexcept;
  TLabProcess(const TLabProcess&) = delete;
  TLabProcess& operator=(const TLabProcess&) = delete;
  ~TLabProcess();

  // The program's own pid (the namespace switch execs into it, so signals reach it directly).
  pid_t Pid() const { return FPid; }
  // Sends ASignal; false when the process has already been reaped or the kill failed.
  bool Signal(int ASignal);
  // Waits up to ATimeout for the process to end. Returns its exit status, or 128 + the signal
  // number when a signal ended it; nullopt when it is still running. Repeatable once ended.
  std::optional<int> WaitExit(std::chrono::milliseconds ATimeout);
  // True while the process has not ended (reaps it when it has).
  bool Running();
  // Everything the process wrote to its log so far; ReadStderr for TLogStreams::StdoutOnly.
  std::string ReadLog() const;
  std::string ReadStderr() const;
  const std::string& LogPath() const { return FLogPath; }

 private:
  bool Reap(bool ABlock);
  void KillAndReap();

  pid_t FPid = -1;
  std::optional<int> FExitStatus;
  std::string FLogPath;
  std::string FErrPath;  // empty when stderr shares the log
};

// Starts AArgv (AArgv[0] is looked up in PATH when it has no "/") in the test's own network
// namespace and returns at once, with standard input /dev/null and output as AOptions say
// (AOptions.LogPath must be given). Throws std::runtime_error when it cannot be started.
TLabProcess SpawnProcess(const std::vector<std::string>& AArgv, const TSpawnOptions& AOptions);

// The bridges a peer of a lab is joined to.
enum class TLabLinks { First, Second, Both };

class TNetLab {
 public:
  // True when a lab can be built here: root, the "ip" command, the lab script, and network
  // namespaces with bridge and veth devices. Otherwise false with the reason in AWhyNot.
  static bool Available(std::string* AWhyNot = nullptr);
  // Builds a lab of APeers peers (1..200) under a name unique to this process, after sweeping
  // away stale labs. Throws std::runtime_error with the script's output when building fails.
  explicit TNetLab(int APeers);
  // Builds a lab with a second bridge: peer i is joined as ALinks[i - 1] says.
  explicit TNetLab(const std::vector<TLabLinks>& ALinks);
  // Kills what is left in the namespaces, removes them and the log folder (kept when the
  // environment variable PONDAR_KEEP_LAB_LOGS is set). Never throws.
  ~TNetLab();
  TNetLab(const TNetLab&) = delete;
  TNetLab& operator=(const TNetLab&) = delete;

  const std::string& Name() const { return FName; }
  int Peers() const { return FPeers; }
  // "<name>-p<i>" for peer i, "<name>-hub" for 0.
  std::string NamespaceName(int APeer) const;
  // "10.213.0.<i>" on the first network, "10.214.0.<i>" on the second. Throws
  // std::out_of_range when the peer is not on that network.
  std::string PeerIp(int APeer, int ANetwork = 1) const;
  // Every interface a peer namespace holds besides loopback starts with this.
  static std::string InterfacePrefix() { return "plv"; }
  // A fresh folder for logs, removed with the lab.
  const std::filesystem::path& LogDir() const { return FLogDir; }

  // Runs "sh -c AShellCommand" in peer APeer (0 = hub) and waits for it. Returns its exit
  // status (128 + signal when killed, -1 when it could not be started); stdout and stderr
  // together go to AOutput when given.
  int Run(int APeer, const std::string& AShellCommand, std::string* AOutput = nullptr) const;
  // Starts AArgv (AArgv[0] is looked up in PATH when it has no "/") in peer APeer and returns
  // at once. Standard input is /dev/null. Throws std::runtime_error when it cannot be started.
  TLabProcess Spawn(int APeer, const std::vector<std::string>& AArgv,
                    const TSpawnOptions& AOptions = {});
  // A UDP socket made in peer APeer's namespace, bound to 0.0.0.0:APort (0: any) with
  // broadcast allowed: the test itself plays a host of the lab, without a program of its own.
  // Throws std::runtime_error when it cannot be made.
  Pondar::Net::TSocket UdpSocket(int APeer, uint16_t APort = 0) const;

 private:
  void Build(const std::string& ANetworks);
  void CheckPeer(int APeer) const;
  void TearDown() noexcept;

  std::string FName;
  int FPeers = 0;
  std::vector<TLabLinks> FLinks;
  std::filesystem::path FLogDir;
  int FSpawned = 0;
  pid_t FGuardian = -1;
  int FGuardianPipe = -1;  // write end; the guardian removes the lab when it sees EOF
};

}  // namespace PondarTest
