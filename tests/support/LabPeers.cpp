#include "support/LabPeers.h"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace PondarTest {

namespace {

// The message of each whole line, without its "[hh:nn:ss] " stamp.
template <typename F>
void ForEachMessage(const std::string& ALog, F AOnMessage) {
  size_t start = 0;
  for (size_t end = ALog.find('\n'); end != std::string::npos;
       start = end + 1, end = ALog.find('\n', start)) {
    const std::string_view line(ALog.data() + start, end - start);
    const size_t stamp = line.find("] ");
    if (line.starts_with('[') && stamp != std::string_view::npos)
      AOnMessage(line.substr(stamp + 2));
  }
}

}  // namespace

size_t SyncsBegun(const std::string& ALog) {
  size_t n = 0;
  ForEachMessage(ALog, [&](std::string_view AMessage) {
    if (AMessage.starts_with("\u21C4 ") && AMessage.ends_with("...")) ++n;
  });
  return n;
}

size_t SyncsEnded(const std::string& ALog) {
  size_t n = 0;
  ForEachMessage(ALog, [&](std::string_view AMessage) {
    if (AMessage.starts_with("\u2713 ") ||
        (AMessage.starts_with("\u26A0 ") && AMessage.ends_with(" - unreachable")))
      ++n;
  });
  return n;
}

std::map<std::string, std::string> FolderContents(const fs::path& ARoot) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(ARoot, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    out[it->path().lexically_relative(ARoot).string()] = s.str();
  }
  return out;
}

TLabPeers::TLabPeers(TNetLab& ALab, fs::path ARoot)
    : FLab(ALab), FRoot(std::move(ARoot)), FProcs(static_cast<size_t>(ALab.Peers())) {}

size_t TLabPeers::Index(int APeer) const {
  if (APeer < 1 || APeer > Count()) throw std::out_of_range("no peer " + std::to_string(APeer));
  return static_cast<size_t>(APeer - 1);
}

fs::path TLabPeers::Folder(int APeer) const {
  return FRoot / Name(APeer);
}

void TLabPeers::Start(int APeer, const std::vector<std::string>& AExtraArgs,
                      const std::map<std::string, std::string>& AEnv) {
  const fs::path appData = FRoot / ("appdata" + std::to_string(APeer));
  fs::create_directories(appData);
  fs::create_directories(Folder(APeer));
  TSpawnOptions options;
  options.Env = AEnv;
  options.Env["APPDATA"] = appData.string();
  options.Streams = TLogStreams::StdoutOnly;
  std::vector<std::string> args = {PondardExe(), "--headless", "--name", Name(APeer),
                                   "--folder", Folder(APeer).string()};
  args.insert(args.end(), AExtraArgs.begin(), AExtraArgs.end());
  FProcs[Index(APeer)] = FLab.Spawn(APeer, args, options);
}

void TLabPeers::StartAll() {
  for (int i = 1; i <= Count(); ++i) Start(i);
}

bool TLabPeers::WaitAllReady(std::chrono::milliseconds ATimeout) {
  return WaitFor(
      [&] {
        for (int i = 1; i <= Count(); ++i)
          if (Log(i).find("\u25B6 Ready") == std::string::npos) return false;
        return true;
      },
      ATimeout);
}

bool TLabPeers::WaitAllFound(std::chrono::milliseconds ATimeout) {
  return WaitFor(
      [&] {
        for (int i = 1; i <= Count(); ++i) {
          const std::string log = Log(i);
          for (int j = 1; j <= Count(); ++j) {
            if (j != i &&
                log.find("\u25CF " + Name(j) + " (" + FLab.PeerIp(j) + ")") == std::string::npos)
              return false;
          }
        }
        return true;
      },
      ATimeout);
}

bool TLabPeers::WaitSettled(std::chrono::milliseconds AQuiet, std::chrono::milliseconds ATimeout) {
  size_t last = 0;
  auto since = std::chrono::steady_clock::now();
  return WaitFor(
      [&] {
        size_t begun = 0;
        bool running = false;
        for (int i = 1; i <= Count(); ++i) {
          const std::string log = Log(i);
          const size_t n = SyncsBegun(log);
          begun += n;
          running = running || SyncsEnded(log) < n;
        }
        const auto now = std::chrono::steady_clock::now();
        if (begun != last || running) {
          last = begun;
          since = now;
        }
        return now - since >= AQuiet;
      },
      ATimeout);
}

std::vector<size_t> TLabPeers::SyncsBegunEach() const {
  std::vector<size_t> out;
  for (int i = 1; i <= Count(); ++i) out.push_back(SyncsBegun(Log(i)));
  return out;
}

std::string TLabPeers::StopAll(std::chrono::milliseconds ATimeout) {
  for (auto& p : FProcs)
    if (p.Running()) p.Signal(SIGTERM);
  std::string problems;
  for (int i = 1; i <= Count(); ++i) {
    TLabProcess& p = FProcs[Index(i)];
    if (p.Pid() < 0) continue;
    const auto status = p.WaitExit(ATimeout);
    if (status != 0) {
      problems += Name(i) +
                  (status ? " ended with status " + std::to_string(*status)
                          : std::string(" did not stop")) +
                  "; its standard error:\n" + p.ReadStderr();
    }
  }
  return problems;
}

std::string TLabPeers::Describe() const {
  std::string out;
  for (int i = 1; i <= Count(); ++i) {
    const TLabProcess& p = FProcs[Index(i)];
    out += "---- " + Name(i) + " log\n" + p.ReadLog();
    out += "---- " + Name(i) + " standard error\n" + p.ReadStderr();
  }
  return out;
}

}  // namespace PondarTest
