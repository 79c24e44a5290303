#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/Isolation.h"

namespace fs = std::filesystem;

namespace PondarTest {

TSandbox::TSandbox() {
  std::string tmpl = (fs::temp_directory_path() / "pondar-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  FPath = tmpl;
}

TSandbox::~TSandbox() {
  std::error_code ec;
  fs::remove_all(FPath, ec);
}

fs::path TSandbox::Write(const std::string& ARelPath, const std::string& AContent) const {
  const fs::path full = FPath / ARelPath;
  fs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << AContent;
  return full;
}

std::string TSandbox::Read(const std::string& ARelPath) const { return ReadFile(FPath / ARelPath); }

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitFor(const std::function<bool()>& APredicate, std::chrono::milliseconds ATimeout) {
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void SetMTime(const fs::path& APath, int64_t AUnixSeconds, long ANanoseconds, int AFlags) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(AUnixSeconds);
  times[1].tv_nsec = ANanoseconds;
  if (::utimensat(AT_FDCWD, APath.c_str(), times, AFlags) != 0)
    throw std::runtime_error("utimensat failed for " + APath.string());
}

bool InIsolatedNetwork(const std::string& AOwnPrefix) {
  return ForeignInterface(AOwnPrefix).empty();
}

}  // namespace PondarTest
