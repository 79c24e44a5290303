// The folder scan over 100 000 files in 1 000 folders, against `find -printf '%s %T@\n'` over
// the same tree in the same run: find reads the same listings and stats the same files, so it
// is the yardstick for "one listing per folder and one metadata query per file".
//
// A rescan is that walk handed to TFileList::Rescan over the list that holds the previous scan;
// BM_Rescan times the walk and the rescan's end apart, with find in the same iterations as the
// yardstick, and how long a TFileList::Find on another thread waits at most meanwhile (the
// lock is taken per entry during the walk, and once for the end's pass over the list).
//
// The tree is built once under the temporary folder and reused by later runs (its path can be
// set with PONDAR_SCANBENCH_DIR). Build with -DPONDAR_BENCH=ON in a Release build directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fs/FileList.h"
#include "fs/Scanner.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int KGroups = 20;
constexpr int KFoldersPerGroup = 50;  // 20 x 50 = 1 000 folders of files
constexpr int KFilesPerFolder = 100;  // 100 000 files
constexpr std::size_t KFiles = std::size_t{KGroups} * KFoldersPerGroup * KFilesPerFolder;

std::string TreeRoot() {
  if (const char* dir = std::getenv("PONDAR_SCANBENCH_DIR"); dir && *dir) return dir;
  return (fs::temp_directory_path() / "pondar-scanbench-100k").string();
}

// Builds the tree unless a finished one is there; the "done" mark sits beside the tree so
// that it is not part of what is scanned.
const std::string& EnsureTree() {
  static const std::string root = [] {
    const std::string dir = TreeRoot();
    const std::string done = dir + ".done";
    if (!fs::exists(done)) {
      std::fprintf(stderr, "building %zu files under %s (once)...\n", KFiles, dir.c_str());
      fs::remove_all(dir);
      for (int g = 0; g < KGroups; ++g) {
        for (int f = 0; f < KFoldersPerGroup; ++f) {
          const fs::path folder =
              fs::path(dir) / ("group" + std::to_string(g)) / ("folder" + std::to_string(f));
          fs::create_directories(folder);
          for (int i = 0; i < KFilesPerFolder; ++i) {
            const fs::path file = folder / ("file-" + std::to_string(i) + ".dat");
            const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) {
              std::perror(file.c_str());
              std::exit(1);
            }
            // Sizes vary without writing data: the scan reads metadata only.
            if (::ftruncate(fd, (g * 7919 + f * 104729 + i * 31) % 65536) != 0)
              std::perror("ftruncate");
            ::close(fd);
          }
        }
      }
      std::FILE* mark = std::fopen(done.c_str(), "w");
      if (mark) std::fclose(mark);
    }
    return dir;
  }();
  return root;
}

// Runs find with its output thrown away and returns when it has ended.
bool RunFind(const std::string& ARoot) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string format = "%s %T@\\n";
  std::vector<char*> argv{const_cast<char*>("find"), const_cast<char*>(ARoot.c_str()),
                          const_cast<char*>("-printf"), format.data(), nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "find", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Seconds(std::chrono::steady_clock::duration ADuration) {
  return std::chrono::duration<double>(ADuration).count();
}

void BM_ScanFolder(benchmark::State& AState) {
  const std::string& root = EnsureTree();
  Pondar::Fs::TFileEntries list;
  for (auto _ : AState) {
    Pondar::Fs::ScanFolder(root, list);
    benchmark::DoNotOptimize(list.data());
  }
  if (list.size() != KFiles) AState.SkipWithError("the scan did not list every file");
  AState.counters["files"] = static_cast<double>(list.size());
}
BENCHMARK(BM_ScanFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FindPrintf(benchmark::State& AState) {
  const std::string& root = EnsureTree();
  for (auto _ : AState)
    if (!RunFind(root)) AState.SkipWithError("find failed");
}
BENCHMARK(BM_FindPrintf)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both timed back to back in every iteration, so that both see the same cache and machine load;
// "ratio" is the scan's total time over find's (below 1: the scan is faster).
void BM_ScanVsFind(benchmark::State& AState) {
  const std::string& root = EnsureTree();
  Pondar::Fs::TFileEntries list;
  double scanSecs = 0;
  double findSecs = 0;
  for (auto _ : AState) {
    auto t0 = std::chrono::steady_clock::now();
    Pondar::Fs::ScanFolder(root, list);
    auto t1 = std::chrono::steady_clock::now();
    if (!RunFind(root)) AState.SkipWithError("find failed");
    auto t2 = std::chrono::steady_clock::now();
    scanSecs += Seconds(t1 - t0);
    findSecs += Seconds(t2 - t1);
  }
  const double n = static_cast<double>(AState.iterations());
  AState.counters["scan_ms"] = scanSecs / n * 1000.0;
  AState.counters["find_ms"] = findSecs / n * 1000.0;
  AState.counters["ratio"] = findSecs > 0 ? scanSecs / findSecs : 0.0;
}
BENCHMARK(BM_ScanVsFind)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// A rescan as the engine does one: TFileList::Rescan over the list that holds the previous scan,
// the walk marking what it finds (the lock taken per entry) and the end removing what it did
// not find (under the lock, once). Meanwhile a second thread looks up paths of the list one
// after another and keeps the longest single Find, apart for the calls that overlapped the end
// and for those that overlapped the walk. Counters: walk_ms, end_ms and find_ms (find over the
// same tree, same iteration) per iteration; walk_ratio, end_ratio and rescan_ratio against
// find; finds, the lookups made during the ends; find_max_us_end and find_max_us_walk;
// slow_finds_end and slow_finds_walk, the lookups that took over 100 us.
void BM_Rescan(benchmark::State& AState) {
  constexpr int64_t SlowFindNs = 100000;
  const std::string& root = EnsureTree();
  Pondar::Fs::TFileList list;
  {
    Pondar::Fs::TFileEntries first;
    Pondar::Fs::ScanFolder(root, first);
    list.Replace(std::move(first));
  }
  const Pondar::Fs::TFileEntries paths = list.Entries();
  if (paths.size() != KFiles) {
    AState.SkipWithError("the scan did not list every file");
    return;
  }

  // 0: idle, 1: walking, 2: ending. The finder attributes a call to the end when either end of
  // the call saw the rescan's end running.
  std::atomic<int> phase{0};
  std::atomic<bool> stop{false};
  std::atomic<int64_t> maxEndNs{0};
  std::atomic<int64_t> maxWalkNs{0};
  std::atomic<int64_t> endFinds{0};
  std::atomic<int64_t> slowEnd{0};
  std::atomic<int64_t> slowWalk{0};
  std::atomic<bool> lost{false};
  std::thread finder([&] {
    size_t i = 0;
    int64_t worstEnd = 0;
    int64_t worstWalk = 0;
    int64_t finds = 0;
    int64_t slowDuringEnd = 0;
    int64_t slowDuringWalk = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      const int before = phase.load(std::memory_order_acquire);
      const auto t0 = std::chrono::steady_clock::now();
      const auto found = list.Find(paths[i].RelPath);
      const auto t1 = std::chrono::steady_clock::now();
      const int after = phase.load(std::memory_order_acquire);
      if (!found) lost.store(true, std::memory_order_relaxed);
      const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
      if (before == 2 || after == 2) {
        worstEnd = std::max(worstEnd, ns);
        ++finds;
        if (ns > SlowFindNs) ++slowDuringEnd;
      } else if (before == 1 || after == 1) {
        worstWalk = std::max(worstWalk, ns);
        if (ns > SlowFindNs) ++slowDuringWalk;
      }
      i = (i + 7919) % paths.size();
    }
    maxEndNs.store(worstEnd);
    maxWalkNs.store(worstWalk);
    endFinds.store(finds);
    slowEnd.store(slowDuringEnd);
    slowWalk.store(slowDuringWalk);
  });

  double walkSecs = 0;
  double endSecs = 0;
  double findSecs = 0;
  for (auto _ : AState) {
    phase.store(1, std::memory_order_release);
    const auto t0 = std::chrono::steady_clock::now();
    auto t1 = t0;
    list.Rescan([&](const Pondar::Fs::TEntrySink& ASink) {
      Pondar::Fs::ScanFolder(root, ASink);
      t1 = std::chrono::steady_clock::now();
      phase.store(2, std::memory_order_release);
    });
    const auto t2 = std::chrono::steady_clock::now();
    phase.store(0, std::memory_order_release);
    if (!RunFind(root)) AState.SkipWithError("find failed");
    const auto t3 = std::chrono::steady_clock::now();
    walkSecs += Seconds(t1 - t0);
    endSecs += Seconds(t2 - t1);
    findSecs += Seconds(t3 - t2);
  }
  stop.store(true);
  finder.join();
  if (lost.load()) AState.SkipWithError("a Find missed a path that every scan lists");
  if (list.Size() != KFiles) AState.SkipWithError("the rescan did not list every file");

  const double n = static_cast<double>(AState.iterations());
  AState.counters["walk_ms"] = walkSecs / n * 1000.0;
  AState.counters["end_ms"] = endSecs / n * 1000.0;
  AState.counters["find_ms"] = findSecs / n * 1000.0;
  AState.counters["walk_ratio"] = findSecs > 0 ? walkSecs / findSecs : 0.0;
  AState.counters["end_ratio"] = findSecs > 0 ? endSecs / findSecs : 0.0;
  AState.counters["rescan_ratio"] = findSecs > 0 ? (walkSecs + endSecs) / findSecs : 0.0;
  AState.counters["finds"] = static_cast<double>(endFinds.load());
  AState.counters["find_max_us_end"] = static_cast<double>(maxEndNs.load()) / 1000.0;
  AState.counters["find_max_us_walk"] = static_cast<double>(maxWalkNs.load()) / 1000.0;
  AState.counters["slow_finds_end"] = static_cast<double>(slowEnd.load());
  AState.counters["slow_finds_walk"] = static_cast<double>(slowWalk.load());
}
BENCHMARK(BM_Rescan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
