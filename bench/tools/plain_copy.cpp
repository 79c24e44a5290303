// The baseline for transfer benchmarks: one file over one TCP connection, read cold from disk and
// sent in 64 KiB blocks, received and written in 64 KiB blocks and flushed to disk (fdatasync),
// and nothing else: what any program that copies a file safely has to do.
//   plain_copy recv PORT OUTFILE     accepts one connection, writes what arrives to OUTFILE.part,
//                                    flushes it and renames it to OUTFILE (so that a watcher sees
//                                    the name only once the copy is complete), prints seconds
//   plain_copy send HOST PORT FILE   drops the file's cached pages, connects, sends it, closes
//   plain_copy drop FILE             drops the file's cached pages (written out ones only: sync
//                                    first), so that the next reader reads it from disk
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Fail(const char* AWhat) {
  std::perror(AWhat);
  return 1;
}

int Receive(int APort, const char* AOut) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(APort));
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Fail("bind");
  ::listen(listener, 1);
  std::puts("listening");
  std::fflush(stdout);
  const int conn = ::accept(listener, nullptr, nullptr);
  const auto start = std::chrono::steady_clock::now();
  const std::string part = std::string(AOut) + ".part";
  const int out = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) return Fail("open");
  std::vector<char> buf(65536);
  long long total = 0;
  for (;;) {
    const ssize_t n = ::recv(conn, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    if (::write(out, buf.data(), static_cast<size_t>(n)) != n) return Fail("write");
    total += n;
  }
  if (::fdatasync(out) != 0) return Fail("fdatasync");
  ::close(out);
  if (::rename(part.c_str(), AOut) != 0) return Fail("rename");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%lld bytes in %.3f s\n", total, seconds);
  return 0;
}

int Drop(const char* AFile) {
  const int fd = ::open(AFile, O_RDONLY);
  if (fd < 0) return Fail("open");
  const int rc = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
  if (rc != 0) {
    errno = rc;
    return Fail("posix_fadvise");
  }
  return 0;
}

int Send(const char* AHost, int APort, const char* AFile) {
  if (Drop(AFile) != 0) return 1;
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(APort));
  ::inet_pton(AF_INET, AHost, &addr.sin_addr);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Fail("connect");
  const int in = ::open(AFile, O_RDONLY);
  if (in < 0) return Fail("open");
  std::vector<char> buf(65536);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n <= 0) break;
    for (ssize_t sent = 0; sent < n;) {
      const ssize_t k = ::send(sock, buf.data() + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (k <= 0) return Fail("send");
      sent += k;
    }
  }
  ::close(sock);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "recv") == 0) return Receive(std::atoi(argv[2]), argv[3]);
  if (argc == 5 && std::strcmp(argv[1], "send") == 0)
    return Send(argv[2], std::atoi(argv[3]), argv[4]);
  if (argc == 3 && std::strcmp(argv[1], "drop") == 0) return Drop(argv[2]);
  std::fprintf(stderr,
               "usage: plain_copy recv PORT OUTFILE | plain_copy send HOST PORT FILE | "
               "plain_copy drop FILE\n");
  return 2;
}
