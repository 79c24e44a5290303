#include "support/PortalDesk.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "support/TestSupport.h"

namespace PondarTest {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Each part comes up in well under a second; a loaded CI machine gets far more than five
// times that.
constexpr auto KStartBound = 30s;

const char* const KPrograms[] = {"dbus-daemon", "pipewire", "wireplumber"};

}  // namespace

bool TPortalDesk::Available(std::string* AWhyNot) {
  for (const char* program : KPrograms) {
    if (!HaveProgram(program)) {
      if (AWhyNot)
        *AWhyNot = std::string(program) + " is missing (scripts/install-deps.sh installs it)";
      return false;
    }
  }
  return true;
}

TPortalDesk::TPortalDesk(TNetLab& ALab, int APeer, int AWidth, int AHeight,
                         const std::string& AFormat)
    : FRun(ALab.LogDir() / "desk") {
  fs::create_directories(FRun);
  fs::permissions(FRun, fs::perms::owner_all);  // PipeWire wants its runtime folder private
  TSpawnOptions options;
  options.Env = Env();
  // The session manager keeps what it learnt in state and configuration folders: private too.
  options.Env["XDG_STATE_HOME"] = options.Env["XDG_CONFIG_HOME"] = FRun.string();
  const auto startUntil = [&](std::vector<std::string> AArgv, const fs::path& AReady) {
    options.LogPath = (FRun / (AArgv[0] + ".log")).string();
    FDaemons.push_back(ALab.Spawn(APeer, AArgv, options));
    if (!AReady.empty() && !WaitFor([&] { return fs::exists(AReady); }, KStartBound))
      throw std::runtime_error(AArgv[0] + " did not come up:\n" + Describe());
  };
  startUntil({"dbus-daemon", "--session", "--nofork", "--nopidfile",
              "--address=unix:path=" + (FRun / "bus").string()},
             FRun / "bus");
  startUntil({"pipewire"}, FRun / "pipewire-0");
  startUntil({"wireplumber"}, {});
  options.LogPath = (FRun / "fake_desktop.log").string();
  options.Streams = TLogStreams::StdoutOnly;
  FDesktop = ALab.Spawn(APeer,
                        {TestProgramPath("fake_desktop"), (FRun / "commands").string(),
                         std::to_string(AWidth), std::to_string(AHeight), AFormat},
                        options);
  if (!WaitFor([&] { return Log().find("ready\n") != std::string::npos; }, KStartBound))
    throw std::runtime_error("fake_desktop did not come up:\n" + Describe());
}

std::map<std::string, std::string> TPortalDesk::Env() const {
  return {{"XDG_RUNTIME_DIR", FRun.string()},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (FRun / "bus").string()},
          {"XDG_SESSION_TYPE", "wayland"}};
}

void TPortalDesk::Command(const std::string& ALine) const {
  const int fd = ::open((FRun / "commands").c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("fake_desktop takes no commands");
  const std::string line = ALine + "\n";
  const bool whole = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
  ::close(fd);
  if (!whole) throw std::runtime_error("command not taken: " + ALine);
}

std::string TPortalDesk::Describe() const {
  std::string out;
  for (const TLabProcess& daemon : FDaemons)
    out += "== " + daemon.LogPath() + "\n" + daemon.ReadLog();
  return out + "== fake_desktop\n" + FDesktop.ReadLog() + FDesktop.ReadStderr();
}

}  // namespace PondarTest
