// What a sync costs on a large share, in process: 100 000 entries shaped like a real folder
// ("d0000/f000000.bin" ..., 1 000 folders of 100 files of about 1 KiB, whole-second times, no
// hashes), each figure against a baseline timed in the same run.
//
// 1. The sync decision alone, for every entry of a peer's list: before the list had an index,
//    each remote entry was looked up by a linear search of our entries (under the list's lock),
//    O(n^2) over a sync, about 5 * 10^9 path comparisons at 100 000 entries; now it is one
//    TFileList::Find. Both decide over the same two lists and must reach the same decisions. The
//    linear search runs once per size (10 000 and 100 000, so that its growth shows).
// 2. A sync that finds nothing to do, list transfer included, over loopback: a TTcpServerThread
//    serves the 100 000 entries and SyncWithPeer pulls them into an engine whose list holds the
//    same entries, so nothing is fetched and the server's folder needs no files. Baseline:
//    RequestFileList alone, the list's transfer and decoding. The server encodes its list once
//    per version; "changed:1" stores a changed entry (in both lists, so that there is still
//    nothing to fetch) before every timed request, so that each one pays for the encoding
//    again, as the first request after a change does; "changed:0" is served the cached bytes.
//
// Run it in a network namespace of its own with loopback up, as the tests do:
//   unshare --net -- sh -c 'ip link set lo up && build/hb/bench/SyncBench'
// The ratios are printed after the table.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/Types.h"
#include "fs/FileList.h"
#include "fs/Scanner.h"
#include "net/TcpServer.h"
#include "net/Transfer.h"
#include "sync/Engine.h"
#include "tools/RatioReporter.h"

namespace {

using Pondar::Core::TFileEntries;
using Pondar::Core::TFileEntry;

constexpr size_t KShare = 100000;
constexpr size_t KFilesPerFolder = 100;
constexpr int64_t KBaseUnixMs = 1700000000000;  // 2023-11-14, whole seconds from here on

// The share as a scan lists it: folder after folder, 100 files each, sizes around 1 KiB and
// one second apart, so that no two entries are alike.
TFileEntries MakeShare(size_t ACount) {
  TFileEntries entries;
  entries.reserve(ACount);
  char path[32];
  for (size_t i = 0; i < ACount; ++i) {
    std::snprintf(path, sizeof path, "d%04zu/f%06zu.bin", i / KFilesPerFolder, i % KFilesPerFolder);
    entries.push_back({path,
                       static_cast<int64_t>(1000 + (i * 7919) % 49),
                       Pondar::Core::UnixMsToDayCount(KBaseUnixMs + static_cast<int64_t>(i) * 1000),
                       {}});
  }
  return entries;
}

// What a decision pass found; equal for the two lookups or the benchmark fails.
struct TDecisions {
  size_t Missing = 0;  // not in our list: fetched
  size_t Fetch = 0;    // all fetched, the missing ones included
  size_t Comparisons = 0;
  bool operator==(const TDecisions& AOther) const {
    return Missing == AOther.Missing && Fetch == AOther.Fetch;
  }
};

// Our list and a peer's, made so that every branch of the decision is taken: of every 100
// entries, the peer has 10 newer (fetched), 10 older (kept), 2 of another size at the same
// time (fetched: no hash to compare), 1 that we lack (fetched: a lookup that meets no entry
// and so walks the whole list) and 1 spelled in capitals (found; equal, so kept).
struct TDecisionLists {
  TFileEntries Local;
  TFileEntries Remote;
  TDecisions Expected;

  explicit TDecisionLists(size_t ACount) {
    Remote = MakeShare(ACount);
    Local.reserve(ACount);
    constexpr double Minute = 60.0 / 86400.0;
    for (size_t i = 0; i < ACount; ++i) {
      TFileEntry& r = Remote[i];
      switch (i % 100) {
        case 4:
          ++Expected.Missing;
          ++Expected.Fetch;
          continue;  // not in our list
        case 5:
          Local.push_back(r);
          for (char& c : r.RelPath)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
          continue;
        case 3:
        case 53:
          Local.push_back(r);
          Local.back().Size += 1;
          ++Expected.Fetch;
          continue;
        default:
          Local.push_back(r);
          break;
      }
      if (i % 10 == 1) {
        r.ModifiedUtc += Minute;
        ++Expected.Fetch;
      } else if (i % 10 == 2) {
        r.ModifiedUtc -= Minute;
      }
    }
  }
};

TDecisionLists& DecisionLists(size_t ACount) {
  static std::map<size_t, std::unique_ptr<TDecisionLists>> lists;
  auto& slot = lists[ACount];
  if (!slot) slot = std::make_unique<TDecisionLists>(ACount);
  return *slot;
}

// The engine's rule for a remote entry against the local one of the same path: two seconds or
// more apart, the newer wins; closer, a size difference fetches (the lists carry no hashes).
bool ShouldFetch(const TFileEntry& ARemote, const TFileEntry* ALocal) {
  if (!ALocal) return true;
  const int64_t d =
      Pondar::Core::RoundHalfEven(std::abs(ARemote.ModifiedUtc - ALocal->ModifiedUtc) * 86400.0);
  if (d >= 2) return ARemote.ModifiedUtc > ALocal->ModifiedUtc;
  return ARemote.Size != ALocal->Size;
}

void Count(TDecisions& AOut, const TFileEntry& ARemote, const TFileEntry* ALocal) {
  if (!ALocal) ++AOut.Missing;
  if (ShouldFetch(ARemote, ALocal)) ++AOut.Fetch;
}

// Checks a way of deciding against the expected decisions and reports what it decided.
void Report(benchmark::State& AState, const TDecisions& AGot, const TDecisionLists& ALists,
            const char* AWay) {
  if (!(AGot == ALists.Expected))
    AState.SkipWithError((std::string("the ") + AWay + " decided otherwise").c_str());
  AState.counters["fetch"] = static_cast<double>(AGot.Fetch);
  AState.counters["missing"] = static_cast<double>(AGot.Missing);
}

// Before the index: the first entry equal under SameRelPath, found by walking the list from
// its start, with the list's lock held for the walk.
void BM_DecideLinear(benchmark::State& AState) {
  const TDecisionLists& lists = DecisionLists(static_cast<size_t>(AState.range(0)));
  std::mutex lock;
  TDecisions got;
  for (auto _ : AState) {
    got = {};
    for (const TFileEntry& r : lists.Remote) {
      std::lock_guard hold(lock);
      const TFileEntry* local = nullptr;
      for (const TFileEntry& e : lists.Local) {
        ++got.Comparisons;
        if (Pondar::Fs::SameRelPath(e.RelPath, r.RelPath)) {
          local = &e;
          break;
        }
      }
      Count(got, r, local);
    }
    benchmark::DoNotOptimize(got);
  }
  Report(AState, got, lists, "linear search");
  AState.counters["comparisons"] = static_cast<double>(got.Comparisons);
}
BENCHMARK(BM_DecideLinear)
    ->ArgName("entries")
    ->Arg(10000)
    ->Arg(KShare)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Now: one TFileList::Find per remote entry, as the engine asks (it takes the list's lock and
// returns a copy of the entry).
void BM_DecideIndexed(benchmark::State& AState) {
  const TDecisionLists& lists = DecisionLists(static_cast<size_t>(AState.range(0)));
  Pondar::Fs::TFileList local;
  local.Replace(lists.Local);
  TDecisions got;
  for (auto _ : AState) {
    got = {};
    for (const TFileEntry& r : lists.Remote) {
      const std::optional<TFileEntry> e = local.Find(r.RelPath);
      Count(got, r, e ? &*e : nullptr);
    }
    benchmark::DoNotOptimize(got);
  }
  Report(AState, got, lists, "indexed lookup");
}
BENCHMARK(BM_DecideIndexed)
    ->ArgName("entries")
    ->Arg(10000)
    ->Arg(KShare)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- over loopback ----

// A peer's server on loopback sharing the 100 000 entries, with an empty folder: nothing is
// fetched from it.
struct TLoopbackPeer {
  std::string Dir;
  TFileEntries Share = MakeShare(KShare);
  std::shared_ptr<Pondar::Fs::TFileList> Files = std::make_shared<Pondar::Fs::TFileList>();
  std::unique_ptr<Pondar::Net::TTcpServerThread> Server;
  uint16_t Port = 0;
  int64_t Changes = 0;

  TLoopbackPeer() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "pondar-syncbench-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) Dir = tmpl;
    Files->Replace(Share);
    Server = std::make_unique<Pondar::Net::TTcpServerThread>(0, Dir, Files);
    Server->Start();
    while (Server->BoundPort() == 0 && Server->Running()) std::this_thread::yield();
    Port = Server->BoundPort();
  }
  ~TLoopbackPeer() {
    Server.reset();
    if (!Dir.empty()) ::rmdir(Dir.c_str());
  }
  // A newer time for one entry, a different one each call, stored here and in AAlso: the list's
  // version changes, and the two lists still agree.
  void Change(Pondar::Fs::TFileList* AAlso) {
    ++Changes;
    TFileEntry e = Share[KShare / 2];
    e.ModifiedUtc =
        Pondar::Core::UnixMsToDayCount(KBaseUnixMs + (int64_t{KShare} + Changes) * 1000);
    Files->Store(e);
    if (AAlso) AAlso->Store(e);
  }
};

void BM_RequestFileList(benchmark::State& AState) {
  const bool changed = AState.range(0) != 0;
  TLoopbackPeer peer;
  if (peer.Port == 0) {
    AState.SkipWithError("the server does not listen (run with loopback up)");
    return;
  }
  // The first request encodes the list; "changed:0" times only cached ones.
  Pondar::Net::RequestFileList("127.0.0.1", peer.Port);
  size_t got = 0;
  for (auto _ : AState) {
    AState.PauseTiming();
    if (changed) peer.Change(nullptr);
    AState.ResumeTiming();
    const auto list = Pondar::Net::RequestFileList("127.0.0.1", peer.Port);
    got = list ? list->size() : 0;
    if (got != KShare) AState.SkipWithError("the list did not arrive whole");
  }
  AState.counters["entries"] = static_cast<double>(got);
}

void BM_SyncNothingToDo(benchmark::State& AState) {
  const bool changed = AState.range(0) != 0;
  TLoopbackPeer peer;
  if (peer.Port == 0) {
    AState.SkipWithError("the server does not listen (run with loopback up)");
    return;
  }
  Pondar::Sync::TSyncEngine engine;
  engine.RootDir = peer.Dir;
  engine.Files->Replace(peer.Share);
  Pondar::Net::RequestFileList("127.0.0.1", peer.Port);
  Pondar::Sync::TSyncStats stats;
  for (auto _ : AState) {
    AState.PauseTiming();
    if (changed) peer.Change(engine.Files.get());
    AState.ResumeTiming();
    stats = engine.SyncWithPeer("127.0.0.1", peer.Port);
    if (stats.Unreachable || stats.Received != 0 || stats.NotReceived != 0)
      AState.SkipWithError("the sync was not one with nothing to do");
  }
  AState.counters["received"] = stats.Received;
  AState.counters["not_received"] = stats.NotReceived;
}

// Repeated, with the medians compared, so that one slow spell of a busy machine does not decide
// a ratio.
BENCHMARK(BM_RequestFileList)
    ->ArgName("changed")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(10)
    ->Repetitions(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SyncNothingToDo)
    ->ArgName("changed")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(10)
    ->Repetitions(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Prints the results as usual and keeps each benchmark's time: the median of a repeated one,
// the single run's otherwise.
void PrintRatios(const TRatioReporter& AReporter) {
  AReporter.PrintRatio("decision, 10 000 entries: linear search / index",
                       "BM_DecideLinear/entries:10000", "BM_DecideIndexed/entries:10000");
  AReporter.PrintRatio("decision, 100 000 entries: linear search / index",
                       "BM_DecideLinear/entries:100000", "BM_DecideIndexed/entries:100000");
  AReporter.PrintRatio("growth from 10 000 to 100 000 entries, linear search",
                       "BM_DecideLinear/entries:100000", "BM_DecideLinear/entries:10000");
  AReporter.PrintRatio("growth from 10 000 to 100 000 entries, index",
                       "BM_DecideIndexed/entries:100000", "BM_DecideIndexed/entries:10000");
  AReporter.PrintRatio("sync with nothing to do / list request alone (cached list)",
                       "BM_SyncNothingToDo/changed:0", "BM_RequestFileList/changed:0");
  AReporter.PrintRatio("sync with nothing to do / list request alone (list just changed)",
                       "BM_SyncNothingToDo/changed:1", "BM_RequestFileList/changed:1");
  AReporter.PrintRatio("list request: first after a change / cached",
                       "BM_RequestFileList/changed:1", "BM_RequestFileList/changed:0");
  AReporter.PrintRatio("sync with nothing to do: first after a change / cached",
                       "BM_SyncNothingToDo/changed:1", "BM_SyncNothingToDo/changed:0");
}

}  // namespace

int main(int argc, char** argv) {
  TRatioReporter reporter("median");
  return RunWithRatios(argc, argv, reporter, [&] { PrintRatios(reporter); });
}
