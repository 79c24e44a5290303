// What every test shares: a sandbox folder of its own, waiting with a deadline, file times.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace PondarTest {

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TSandbox {
 public:
  TSandbox();
  ~TSandbox();
  TSandbox(const TSandbox&) = delete;
  TSandbox& operator=(const TSandbox&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string Str() const { return FPath.string(); }
  // Writes AContent to the relative path, creating folders on the way; returns the full path.
  std::filesystem::path Write(const std::string& ARelPath, const std::string& AContent) const;
  std::string Read(const std::string& ARelPath) const;

 private:
  std::filesystem::path FPath;
};

// The whole file at APath; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& APath);

// Polls APredicate every few milliseconds until it holds or ATimeout has passed.
bool WaitFor(const std::function<bool()>& APredicate,
             std::chrono::milliseconds ATimeout = std::chrono::seconds(5));

// How many times APart stands in AText, overlapping ones counted: lines said once, or more.
inline size_t Occurrences(const std::string& AText, const std::string& APart) {
  size_t count = 0;
  for (size_t at = AText.find(APart); at != std::string::npos; at = AText.find(APart, at + 1))
    ++count;
  return count;
}

// Sets the last-write time of a file to Unix seconds and nanoseconds; AFlags as utimensat takes
// them (AT_SYMLINK_NOFOLLOW: the link itself). Throws std::runtime_error when it cannot.
void SetMTime(const std::filesystem::path& APath, int64_t AUnixSeconds, long ANanoseconds = 0,
              int AFlags = 0);

// Whole Unix seconds as the day count that file lists carry (days since 1899-12-30), worked
// out here rather than by the code under test.
inline double DayCount(int64_t AUnixSeconds) {
  return static_cast<double>(AUnixSeconds) / 86400.0 + 25569.0;
}

// True when the only network interfaces are loopback and those whose name starts with
// AOwnPrefix: the test then runs in a namespace of its own and may broadcast.
bool InIsolatedNetwork(const std::string& AOwnPrefix = "");

}  // namespace PondarTest
