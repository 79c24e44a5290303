// What a download costs over loopback compared with the plainest socket copy of the same bytes,
// and what the file-list codec costs for a large folder.
//
// The download benchmarks work on one large file (1 GiB by default) made at start in
// $PONDAR_BENCH_DIR (default /tmp) and removed at exit; $PONDAR_BENCH_MIB changes its size.
// After the run the ratio of the two copy rates is printed: the download should reach at
// least 0.9 of the plain copy. A download flushes the file to disk before it takes its final
// name; the plain copy runs with and without that flush, so the ratios show what it costs,
// for the large file and for many small ones (where it weighs most). The large download also
// runs keyed, over TLS with a network key, beside the plain one; its CPU ratio is the figure
// to watch (the aim: at most 1.1 x plain).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/Protocol.h"
#include "net/TcpServer.h"
#include "net/Tls.h"
#include "net/Transfer.h"
#include "tools/RatioReporter.h"

namespace {

using Pondar::Net::TSocket;
constexpr size_t Block = 65536;

// The source file and the folder it lives in, made once and removed at exit.
struct TBenchFile {
  std::string Dir;
  std::string Name;
  std::string Path;
  int64_t Size = 0;

  TBenchFile() {
    const char* dir = std::getenv("PONDAR_BENCH_DIR");
    const char* mib = std::getenv("PONDAR_BENCH_MIB");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/pondar-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    Dir = tmpl;
    Name = "source.bin";
    Path = Dir + "/" + Name;
    Size = int64_t{mib && *mib ? std::atoll(mib) : 1024} << 20;

    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + Path);
    std::mt19937_64 gen(42);
    std::vector<uint64_t> buf(Block / 8);
    for (int64_t left = Size; left > 0; left -= Block) {
      for (auto& v : buf) v = gen();
      if (::write(fd, buf.data(), Block) != static_cast<ssize_t>(Block))
        throw std::runtime_error("cannot write " + Path);
    }
    ::close(fd);
  }
  ~TBenchFile() {
    ::unlink(Path.c_str());
    ::unlink(Target().c_str());
    ::unlink((Target() + ".pondartmp").c_str());
    ::rmdir(Dir.c_str());
  }
  std::string Target() const { return Dir + "/target.bin"; }
};

TBenchFile& BenchFile() {
  static TBenchFile file;
  return file;
}

// The large file through the real server and requester, plain (keyed 0) or over TLS (keyed 1).
// The CPU time is the whole process's, so it counts the serving thread as well as the
// requesting one: on a shared machine the time taken varies with the load, the CPU spent less.
void BM_DownloadFile(benchmark::State& AState) {
  const bool keyed = AState.range(0) != 0;
  TBenchFile& file = BenchFile();
  Pondar::Net::TTlsContext::TPsk key{};
  key.fill(0x5A);
  const auto tls = keyed ? Pondar::Net::TTlsContext::Make(key) : nullptr;
  Pondar::Net::TTcpServerThread server(0, file.Dir, nullptr);
  server.SetTls(tls);
  server.Start();
  while (server.BoundPort() == 0 && server.Running()) std::this_thread::yield();
  const uint16_t port = server.BoundPort();
  Pondar::Net::TConnection::SetRequesterTls(tls);
  for (auto _ : AState) {
    // Both copies write a new file: replacing a large file by rename makes ext4 flush the new
    // one first, a cost of the atomic replace that the plain copy would not pay.
    AState.PauseTiming();
    ::unlink(file.Target().c_str());
    AState.ResumeTiming();
    if (!Pondar::Net::DownloadFile("127.0.0.1", port, file.Name, nullptr, file.Target()))
      AState.SkipWithError("download failed");
  }
  Pondar::Net::TConnection::SetRequesterTls(nullptr);
  AState.SetBytesProcessed(AState.iterations() * file.Size);
}

// The plainest send of a block, as the reference copy below makes it.
bool SendPlain(int AFd, const uint8_t* AData, size_t ACount) {
  while (ACount > 0) {
    const ssize_t n = ::send(AFd, AData, ACount, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    AData += n;
    ACount -= static_cast<size_t>(n);
  }
  return true;
}

// The reference: one thread reads the file in 64 KiB blocks and sends them, the other receives
// into a 64 KiB buffer and writes what it got to the target file; with the argument 1 it
// flushes the target to disk before closing it, as a download does.
void BM_PlainSocketCopy(benchmark::State& AState) {
  const bool flush = AState.range(0) != 0;
  TBenchFile& file = BenchFile();
  TSocket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  Pondar::Net::MakeIpv4Address("127.0.0.1", 0, addr);
  socklen_t len = sizeof addr;
  if (::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener.Fd(), 4) != 0 ||
      ::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    AState.SkipWithError("cannot listen");
    return;
  }
  std::vector<uint8_t> buf(Block);
  for (auto _ : AState) {
    AState.PauseTiming();
    ::unlink(file.Target().c_str());
    AState.ResumeTiming();
    std::thread sender([&] {
      TSocket conn(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
      const int in = ::open(file.Path.c_str(), O_RDONLY | O_CLOEXEC);
      std::vector<uint8_t> out(Block);
      ssize_t n;
      while ((n = ::read(in, out.data(), Block)) > 0)
        if (!SendPlain(conn.Fd(), out.data(), static_cast<size_t>(n))) break;
      ::close(in);
    });
    TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::connect(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int outFd = ::open(file.Target().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int64_t total = 0;
    ssize_t n;
    while ((n = ::recv(sock.Fd(), buf.data(), Block, 0)) > 0) {
      if (::write(outFd, buf.data(), static_cast<size_t>(n)) != n) break;
      total += n;
    }
    if (flush) ::fdatasync(outFd);
    ::close(outFd);
    sender.join();
    if (total != file.Size) AState.SkipWithError("copy incomplete");
  }
  AState.SetBytesProcessed(AState.iterations() * file.Size);
}

// Many small files, as a folder of documents or sources is: each download of 4 KiB against
// the plainest local write of the same bytes under a temporary name and a rename, without and
// with a flush before the rename.
constexpr int SmallFiles = 200;
constexpr size_t SmallFileBytes = 4096;

struct TSmallFiles {
  std::string Dir;
  TSmallFiles() {
    std::string tmpl = BenchFile().Dir + "/small-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    Dir = tmpl;
    const std::string content(SmallFileBytes, 'x');
    for (int i = 0; i < SmallFiles; ++i) WriteFile(Source(i), content, false);
  }
  ~TSmallFiles() {
    for (int i = 0; i < SmallFiles; ++i) {
      ::unlink(Source(i).c_str());
      ::unlink(Target(i).c_str());
    }
    ::rmdir(Dir.c_str());
  }
  // Built with snprintf: GCC 12 misreads "literal" + std::string at -O3 (-Wrestrict).
  static std::string Name(int AIndex, char APrefix = 's') {
    char name[16];
    std::snprintf(name, sizeof name, "%c%d", APrefix, AIndex);
    return name;
  }
  std::string Source(int AIndex) const { return Dir + "/" + Name(AIndex); }
  std::string Target(int AIndex) const { return Dir + "/" + Name(AIndex, 't'); }
  static void WriteFile(const std::string& APath, const std::string& AContent, bool AFlush) {
    const std::string temp = APath + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 ||
        ::write(fd, AContent.data(), AContent.size()) != static_cast<ssize_t>(AContent.size()))
      throw std::runtime_error("cannot write " + temp);
    if (AFlush) ::fdatasync(fd);
    ::close(fd);
    ::rename(temp.c_str(), APath.c_str());
  }
  void RemoveTargets() const {
    for (int i = 0; i < SmallFiles; ++i) ::unlink(Target(i).c_str());
  }
};

TSmallFiles& SmallFileSet() {
  static TSmallFiles files;
  return files;
}

void BM_DownloadSmallFiles(benchmark::State& AState) {
  const TSmallFiles& files = SmallFileSet();
  Pondar::Net::TTcpServerThread server(0, files.Dir, nullptr);
  server.Start();
  while (server.BoundPort() == 0 && server.Running()) std::this_thread::yield();
  for (auto _ : AState) {
    AState.PauseTiming();
    files.RemoveTargets();
    AState.ResumeTiming();
    for (int i = 0; i < SmallFiles; ++i) {
      if (!Pondar::Net::DownloadFile("127.0.0.1", server.BoundPort(), TSmallFiles::Name(i), nullptr,
                                     files.Target(i)))
        AState.SkipWithError("download failed");
    }
  }
  AState.SetItemsProcessed(AState.iterations() * SmallFiles);
}

void BM_WriteSmallFiles(benchmark::State& AState) {
  const TSmallFiles& files = SmallFileSet();
  const bool flush = AState.range(0) != 0;
  const std::string content(SmallFileBytes, 'y');
  for (auto _ : AState) {
    AState.PauseTiming();
    files.RemoveTargets();
    AState.ResumeTiming();
    for (int i = 0; i < SmallFiles; ++i) TSmallFiles::WriteFile(files.Target(i), content, flush);
  }
  AState.SetItemsProcessed(AState.iterations() * SmallFiles);
}

Pondar::Core::TFileEntries MakeEntries(size_t ACount) {
  Pondar::Core::TFileEntries entries;
  entries.reserve(ACount);
  char path[64];
  for (size_t i = 0; i < ACount; ++i) {
    std::snprintf(path, sizeof path, "folder%03zu/sub/file%06zu.txt", i % 500, i);
    entries.push_back({path, static_cast<int64_t>(i * 1000), 45000.0 + static_cast<double>(i),
                       std::string(64, "0123456789abcdef"[i % 16])});
  }
  return entries;
}

void BM_EncodeFileList(benchmark::State& AState) {
  const auto entries = MakeEntries(static_cast<size_t>(AState.range(0)));
  size_t bytes = 0;
  for (auto _ : AState) {
    const auto encoded = Pondar::Net::EncodeFileList(entries);
    bytes = encoded.size();
    benchmark::DoNotOptimize(encoded.data());
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations() * bytes));
}

void BM_DecodeFileList(benchmark::State& AState) {
  const auto encoded =
      Pondar::Net::EncodeFileList(MakeEntries(static_cast<size_t>(AState.range(0))));
  for (auto _ : AState) {
    auto decoded = Pondar::Net::DecodeFileList(encoded);
    if (decoded.size() != static_cast<size_t>(AState.range(0))) AState.SkipWithError("bad decode");
    benchmark::DoNotOptimize(decoded.data());
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations() * encoded.size()));
}

// Repeated, so that one slow spell of the machine does not decide the ratio; run with
// --benchmark_enable_random_interleaving=true to spread such spells over both copies.
BENCHMARK(BM_PlainSocketCopy)
    ->ArgName("flush")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadFile)
    ->ArgName("keyed")
    ->Arg(0)
    ->Arg(1)
    ->MeasureProcessCPUTime()
    ->Iterations(3)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSmallFiles)
    ->ArgName("flush")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadSmallFiles)
    ->Iterations(5)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
// One request on a connection of its own (an empty list asked for and read), plain (0) or keyed
// (1): the difference is what a TLS handshake costs per connection, both sides together.
void BM_ListRequest(benchmark::State& AState) {
  const bool keyed = AState.range(0) != 0;
  Pondar::Net::TTlsContext::TPsk key{};
  key.fill(0x5A);
  const auto tls = keyed ? Pondar::Net::TTlsContext::Make(key) : nullptr;
  Pondar::Net::TTcpServerThread server(0, "", nullptr);
  server.SetTls(tls);
  server.Start();
  while (server.BoundPort() == 0 && server.Running()) std::this_thread::yield();
  Pondar::Net::TConnection::SetRequesterTls(tls);
  for (auto _ : AState) {
    if (!Pondar::Net::RequestFileList("127.0.0.1", server.BoundPort()))
      AState.SkipWithError("list request failed");
  }
  Pondar::Net::TConnection::SetRequesterTls(nullptr);
}

BENCHMARK(BM_ListRequest)->ArgName("keyed")->Arg(0)->Arg(1)->UseRealTime()->Repetitions(3)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeFileList)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeFileList)->Arg(100000)->Unit(benchmark::kMillisecond);

// Prints the results as usual and remembers the mean time of each repeated benchmark.
void PrintRatios(const TRatioReporter& AReporter) {
  // Rates compare as the inverse of the times.
  AReporter.PrintRatio("DownloadFile rate / plain socket copy rate (no flush)",
                       "BM_PlainSocketCopy/flush:0", "BM_DownloadFile/keyed:0");
  AReporter.PrintRatio("DownloadFile rate / plain socket copy rate (flushed)",
                       "BM_PlainSocketCopy/flush:1", "BM_DownloadFile/keyed:0");
  AReporter.PrintRatio("DownloadFile keyed / plain (time)", "BM_DownloadFile/keyed:1",
                       "BM_DownloadFile/keyed:0");
  AReporter.PrintCpuRatio("DownloadFile keyed / plain (CPU of both sides)",
                          "BM_DownloadFile/keyed:1", "BM_DownloadFile/keyed:0");
  AReporter.PrintRatio("plain copy rate flushed / not flushed", "BM_PlainSocketCopy/flush:0",
                       "BM_PlainSocketCopy/flush:1");
  AReporter.PrintRatio("small files: write rate flushed / not flushed",
                       "BM_WriteSmallFiles/flush:0", "BM_WriteSmallFiles/flush:1");
  AReporter.PrintRatio("small files: download rate / plain write rate (flushed)",
                       "BM_WriteSmallFiles/flush:1", "BM_DownloadSmallFiles");
  AReporter.PrintRatio("list request keyed / plain (time; a TLS handshake per connection)",
                       "BM_ListRequest/keyed:1", "BM_ListRequest/keyed:0");
}

}  // namespace

int main(int argc, char** argv) {
  TRatioReporter reporter("mean");
  return RunWithRatios(argc, argv, reporter, [&] { PrintRatios(reporter); });
}
