#include "support/NetLab.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/TestSupport.h"

extern char** environ;

namespace fs = std::filesystem;

namespace PondarTest {

namespace {

const char* const LabScript = PONDAR_LAB_SCRIPT;

int StatusFromWait(int AStatus) {
  if (WIFEXITED(AStatus)) return WEXITSTATUS(AStatus);
  if (WIFSIGNALED(AStatus)) return 128 + WTERMSIG(AStatus);
  return -1;
}

// The ip command by full path where we know it, so that a PATH without sbin still works.
std::string IpCommand() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (::access(p, X_OK) == 0) return p;
  return "ip";
}

// argv/envp arrays over strings that outlive the spawn call.
std::vector<char*> CArray(std::vector<std::string>& AStrings) {
  std::vector<char*> out;
  out.reserve(AStrings.size() + 1);
  for (auto& s : AStrings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Children start with default signal handling and nothing blocked, whatever the test did.
void ResetSignals(posix_spawnattr_t& AAttr, short AExtraFlags) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&AAttr, &none);
  posix_spawnattr_setsigdefault(&AAttr, &defaults);
  posix_spawnattr_setflags(
      &AAttr, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | AExtraFlags));
}

// Runs AArgv to its end with stdout and stderr captured together; returns the exit status.
int RunCaptured(std::vector<std::string> AArgv, std::string* AOutput) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  ResetSignals(attr, 0);
  std::vector<char*> argv = CArray(AArgv);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    if (AOutput) *AOutput = "cannot start " + AArgv[0] + ": " + std::strerror(rc);
    return -1;
  }
  std::string output;
  char buf[4096];
  for (;;) {
    const ssize_t got = ::read(fds[0], buf, sizeof buf);
    if (got > 0) {
      output.append(buf, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  if (AOutput) *AOutput = std::move(output);
  return StatusFromWait(status);
}

int RunScript(const std::vector<std::string>& AArgs, std::string* AOutput = nullptr) {
  std::vector<std::string> argv{"bash", LabScript};
  argv.insert(argv.end(), AArgs.begin(), AArgs.end());
  return RunCaptured(std::move(argv), AOutput);
}

std::atomic<int> LabCounter{0};

}  // namespace

std::string PondardExe() {
  const char* other = std::getenv("PONDAR_PONDARD");
  return other && *other ? std::string(other) : std::string(PONDARD_EXE);
}

std::string TestProgramPath(const std::string& AName) {
  return std::string(PONDAR_TEST_PROGRAM_DIR) + "/" + AName;
}

std::string FindProgram(const std::string& AName) {
  if (AName.find('/') != std::string::npos) return ::access(AName.c_str(), X_OK) == 0 ? AName : "";
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string full = (dir.empty() ? "." : dir) + "/" + AName;
    struct stat st;
    if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(full.c_str(), X_OK) == 0)
      return full;
  }
  return "";
}

std::map<std::string, std::string> QtPeerEnv(const std::string& ADisplay) {
  const char* tsan = std::getenv("TSAN_OPTIONS");
  return {{"DISPLAY", ADisplay}, {"TSAN_OPTIONS", std::string(tsan ? tsan : "") + ":report_bugs=0"}};
}

// ---- TLabProcess ----

TLabProcess::TLabProcess(pid_t APid, std::string ALogPath, std::string AErrPath)
    : FPid(APid), FLogPath(std::move(ALogPath)), FErrPath(std::move(AErrPath)) {}

TLabProcess::TLabProcess(TLabProcess&& AOther) noexcept
    : FPid(AOther.FPid),
      FExitStatus(AOther.FExitStatus),
      FLogPath(std::move(AOther.FLogPath)),
      FErrPath(std::move(AOther.FErrPath)) {
  AOther.FPid = -1;
  AOther.FExitStatus.reset();
}

TLabProcess& TLabProcess::operator=(TLabProcess&& AOther) noexcept {
  if (this != &AOther) {
    KillAndReap();
    FPid = AOther.FPid;
    FExitStatus = AOther.FExitStatus;
    FLogPath = std::move(AOther.FLogPath);
    FErrPath = std::move(AOther.FErrPath);
    AOther.FPid = -1;
    AOther.FExitStatus.reset();
  }
  return *this;
}

TLabProcess::~TLabProcess() {
  KillAndReap();
}

bool TLabProcess::Reap(bool ABlock) {
  if (FPid < 0 || FExitStatus) return true;
  int status = 0;
  for (;;) {
    const pid_t got = ::waitpid(FPid, &status, ABlock ? 0 : WNOHANG);
    if (got == FPid) {
      FExitStatus = StatusFromWait(status);
      return true;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    // Not our child any more (someone else reaped it): it has ended, status unknown.
    FExitStatus = -1;
    return true;
  }
}

void TLabProcess::KillAndReap() {
  if (FPid < 0 || FExitStatus) return;
  if (!Reap(false)) {
    ::kill(FPid, SIGKILL);
    Reap(true);
  }
}

bool TLabProcess::Signal(int ASignal) {
  if (FPid < 0 || FExitStatus) return false;
  return ::kill(FPid, ASignal) == 0;
}

std::optional<int> TLabProcess::WaitExit(std::chrono::milliseconds ATimeout) {
  if (FPid < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return FExitStatus;
}

bool TLabProcess::Running() {
  return FPid >= 0 && !Reap(false);
}

std::string TLabProcess::ReadLog() const {
  return ReadFile(FLogPath);
}

std::string TLabProcess::ReadStderr() const {
  return ReadFile(FErrPath);
}

// ---- TNetLab ----

bool TNetLab::Available(std::string* AWhyNot) {
  auto fail = [&](const std::string& AWhy) {
    if (AWhyNot) *AWhyNot = AWhy;
    return false;
  };
  if (::geteuid() != 0) return fail("building network namespaces needs root");
  if (::access(LabScript, R_OK) != 0) return fail(std::string("lab script missing: ") + LabScript);
  std::string output;
  const int rc = RunScript({"check"}, &output);
  if (rc != 0) {
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return fail(output.empty() ? "lab self-check failed with status " + std::to_string(rc)
                               : output);
  }
  return true;
}

TNetLab::TNetLab(int APeers)
    : FPeers(APeers), FLinks(static_cast<size_t>(std::max(APeers, 0)), TLabLinks::First) {
  Build("");
}

TNetLab::TNetLab(const std::vector<TLabLinks>& ALinks)
    : FPeers(static_cast<int>(ALinks.size())), FLinks(ALinks) {
  std::string networks;
  for (TLabLinks links : ALinks) {
    if (!networks.empty()) networks += ",";
    networks += links == TLabLinks::First ? "a" : links == TLabLinks::Second ? "b" : "ab";
  }
  Build(networks);
}

void TNetLab::Build(const std::string& ANetworks) {
  if (FPeers < 1 || FPeers > 200) throw std::invalid_argument("a lab has 1..200 peers");
  FName = "pl" + std::to_string(::getpid()) + "x" + std::to_string(LabCounter.fetch_add(1));
  // Labs left behind by test processes that died before their clean-up ran.
  RunScript({"sweep"});

  std::string dir = (fs::temp_directory_path() / ("pondar-" + FName + "-XXXXXX")).string();
  if (!::mkdtemp(dir.data())) throw std::runtime_error("mkdtemp failed for the lab's logs");
  FLogDir = dir;

  // The guardian waits on a pipe only we hold. If this process ends without the destructor,
  // the pipe closes and the guardian takes the lab down; it lives in its own session, so a
  // signal aimed at the test's process group does not take it along.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    ResetSignals(attr, POSIX_SPAWN_SETSID);
    // $2, the log folder, goes too unless the logs are to be kept.
    const std::string logs = std::getenv("PONDAR_KEEP_LAB_LOGS") ? "" : FLogDir.string();
    std::vector<std::string> args{"bash",
                                  "-c",
                                  "read -r v; [ \"$v\" = done ] && exit 0; bash \"$0\" down "
                                  "\"$1\"; [ -n \"$2\" ] && rm -rf -- \"$2\"",
                                  LabScript,
                                  FName,
                                  logs};
    std::vector<char*> argv = CArray(args);
    if (::posix_spawnp(&FGuardian, "bash", &actions, &attr, argv.data(), environ) == 0) {
      FGuardianPipe = fds[1];
    } else {
      FGuardian = -1;
      ::close(fds[1]);
    }
    ::close(fds[0]);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }

  std::string output;
  std::vector<std::string> up{"up", FName, std::to_string(FPeers)};
  if (!ANetworks.empty()) up.push_back(ANetworks);
  const int rc = RunScript(up, &output);
  if (rc != 0) {
    // The destructor does not run for a constructor that throws.
    TearDown();
    throw std::runtime_error("building network lab " + FName + " failed (status " +
                             std::to_string(rc) + "): " + output);
  }
}

TNetLab::~TNetLab() {
  TearDown();
}

void TNetLab::TearDown() noexcept {
  if (FName.empty()) return;
  std::string output;
  const bool removed = RunScript({"down", FName}, &output) == 0;
  if (FGuardianPipe >= 0) {
    // Tell the guardian the work is done; after a failed removal let it try once more.
    if (removed) (void)!::write(FGuardianPipe, "done\n", 5);
    ::close(FGuardianPipe);
    FGuardianPipe = -1;
  }
  if (FGuardian > 0) {
    int status = 0;
    while (::waitpid(FGuardian, &status, 0) < 0 && errno == EINTR) {
    }
    FGuardian = -1;
  }
  if (!FLogDir.empty() && !std::getenv("PONDAR_KEEP_LAB_LOGS")) {
    std::error_code ec;
    fs::remove_all(FLogDir, ec);
  }
  FName.clear();
}

void TNetLab::CheckPeer(int APeer) const {
  if (APeer < 0 || APeer > FPeers)
    throw std::out_of_range("lab " + FName + " has no peer " + std::to_string(APeer));
}

std::string TNetLab::NamespaceName(int APeer) const {
  CheckPeer(APeer);
  return APeer == 0 ? FName + "-hub" : FName + "-p" + std::to_string(APeer);
}

std::string TNetLab::PeerIp(int APeer, int ANetwork) const {
  if (APeer < 1 || APeer > FPeers)
    throw std::out_of_range("lab " + FName + " has no peer " + std::to_string(APeer));
  const TLabLinks links = FLinks[static_cast<size_t>(APeer - 1)];
  if (ANetwork == 1 && links != TLabLinks::Second) return "10.213.0." + std::to_string(APeer);
  if (ANetwork == 2 && links != TLabLinks::First) return "10.214.0." + std::to_string(APeer);
  throw std::out_of_range("peer " + std::to_string(APeer) + " of lab " + FName +
                          " is not on network " + std::to_string(ANetwork));
}

int TNetLab::Run(int APeer, const std::string& AShellCommand, std::string* AOutput) const {
  return RunCaptured(
      {IpCommand(), "netns", "exec", NamespaceName(APeer), "sh", "-c", AShellCommand}, AOutput);
}

TLabProcess TNetLab::Spawn(int APeer, const std::vector<std::string>& AArgv,
                           const TSpawnOptions& AOptions) {
  if (AArgv.empty()) throw std::invalid_argument("Spawn needs a program");
  TSpawnOptions options = AOptions;
  if (options.LogPath.empty())
    options.LogPath =
        (FLogDir / ("p" + std::to_string(APeer) + "-" + std::to_string(++FSpawned) + ".log"))
            .string();
  // "ip netns exec" enters the namespace and execs the program in place: the pid we get is
  // the program's own.
  std::vector<std::string> args{IpCommand(), "netns", "exec", NamespaceName(APeer)};
  args.insert(args.end(), AArgv.begin(), AArgv.end());
  return SpawnProcess(args, options);
}

Pondar::Net::TSocket TNetLab::UdpSocket(int APeer, uint16_t APort) const {
  // A socket belongs to the namespace it was made in. A thread of its own enters the peer's
  // and makes it there, so that this process and its other threads never leave their own.
  const std::string path = "/var/run/netns/" + NamespaceName(APeer);  // where "ip netns" keeps it
  Pondar::Net::TSocket sock;
  std::string failed;
  std::thread([&] {
    const int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
      failed = "cannot enter " + path + ": " + std::strerror(errno);
    } else {
      sock = Pondar::Net::TSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      sockaddr_in any{};
      Pondar::Net::MakeIpv4Address("0.0.0.0", APort, any);
      const int on = 1;
      if (!sock || ::setsockopt(sock.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
          ::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        failed = "cannot open UDP port " + std::to_string(APort) + ": " + std::strerror(errno);
    }
    if (ns >= 0) ::close(ns);
  }).join();
  if (!failed.empty()) throw std::runtime_error("lab " + FName + ", peer " +
                                                std::to_string(APeer) + ": " + failed);
  return sock;
}

TLabProcess SpawnProcess(const std::vector<std::string>& AArgv, const TSpawnOptions& AOptions) {
  if (AArgv.empty() || AOptions.LogPath.empty())
    throw std::invalid_argument("SpawnProcess needs a program and a log path");
  const std::string& logPath = AOptions.LogPath;
  const std::string errPath =
      AOptions.Streams == TLogStreams::StdoutOnly ? logPath + ".stderr" : std::string();
  std::vector<std::string> args = AArgv;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (!AOptions.Env.count(key)) env.push_back(entry);
  }
  for (const auto& [key, value] : AOptions.Env) env.push_back(key + "=" + value);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (errPath.empty())
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  // Last, so that relative log paths mean the test's directory.
  if (!AOptions.WorkDir.empty())
    posix_spawn_file_actions_addchdir_np(&actions, AOptions.WorkDir.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  ResetSignals(attr, POSIX_SPAWN_SETPGROUP);
  std::vector<char*> argv = CArray(args);
  std::vector<char*> envp = CArray(env);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + AArgv[0] + ": " + std::strerror(rc));
  return TLabProcess(pid, logPath, errPath);
}

}  // namespace PondarTest
