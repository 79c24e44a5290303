#include "fs/Scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/Sha256.h"

namespace Pondar::Fs {

namespace {

constexpr std::string_view KExeName = "pondar.exe";
constexpr std::string_view KTmpSuffix = ".pondartmp";

char AsciiLower(char AChar) {
  return (AChar >= 'A' && AChar <= 'Z') ? static_cast<char>(AChar + ('a' - 'A')) : AChar;
}

// True when the last ASuffix.size() bytes of AText, lower-cased, are ASuffix (which is lower case).
//
// Lower-casing ASCII only is exact here, not an approximation of locale-aware lower-casing: the
// only non-ASCII letters whose lower case is ASCII are U+0130 (to "i") and U+212A (to "k"), and
// neither letter occurs in "pondar.exe" or ".pondartmp"; every other non-ASCII character stays
// non-ASCII, so it can never complete a match of these all-ASCII words.
bool EndsWithLower(std::string_view AText, std::string_view ASuffix) {
  if (AText.size() < ASuffix.size()) return false;
  const std::size_t start = AText.size() - ASuffix.size();
  for (std::size_t i = 0; i < ASuffix.size(); ++i)
    if (AsciiLower(AText[start + i]) != ASuffix[i]) return false;
  return true;
}

bool EqualsLower(std::string_view AText, std::string_view AWord) {
  return AText.size() == AWord.size() && EndsWithLower(AText, AWord);
}

bool IsExcluded(std::string_view AName) {
  return EqualsLower(AName, KExeName) || EndsWithLower(AName, KTmpSuffix);
}

// The first ACount bytes of A and B are equal once bit 0x20 of each is ignored.
bool SameBytesFolded(std::string_view A, std::string_view B, std::size_t ACount) {
  for (std::size_t i = 0; i < ACount; ++i)
    if ((static_cast<unsigned char>(A[i]) & 0xDF) != (static_cast<unsigned char>(B[i]) & 0xDF))
      return false;
  return true;
}

double SecondsToDayCount(int64_t ASeconds) {
  if (ASeconds == 0) return 0.0;
  return static_cast<double>(ASeconds) / 86400.0 + 25569.0;
}

struct TFolderId {
  dev_t Dev;
  ino_t Ino;
  bool operator==(const TFolderId&) const = default;
};

struct TFolderIdHash {
  std::size_t operator()(const TFolderId& AId) const noexcept {
    return std::hash<uint64_t>()(static_cast<uint64_t>(AId.Ino) * 0x9E3779B97F4A7C15ull ^
                                 static_cast<uint64_t>(AId.Dev));
  }
};

// Closes a descriptor on every way out of a scope.
class TFd {
 public:
  explicit TFd(int AFd) : FFd(AFd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

 private:
  int FFd;
};

// One depth-first walk. Each folder's listing is read to the end and its descriptor closed before
// any sub-folder is entered, so a deep tree never holds more than one descriptor open; the
// sub-folders are then opened by full path. Files of the folder are staged so that a
// sub-folder's files still land at the place where the sub-folder was met in the listing.
class TWalker {
 public:
  TWalker(const TEntrySink& AOnEntry, std::vector<std::string>* ALeftovers)
      : FOnEntry(AOnEntry), FLeftovers(ALeftovers), FBuffer(KBufferSize) {}

  void WalkRoot(const std::string& ARoot) {
    FPath = ARoot;
    FRel.clear();
    Walk();
  }

 private:
  static constexpr std::size_t KBufferSize = 64 * 1024;

  // A sub-folder found in the current listing: its name, and how many of the listing's staged
  // files came before it.
  struct TSubFolder {
    std::string Name;
    std::size_t FilesBefore;
  };

  void Walk() {
    TFd dir(::open(FPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0) return;
    struct stat self;
    if (::fstat(dir.Get(), &self) != 0) return;
    // Links to folders are followed, so a link to one of its own ancestors (or two links to the
    // same folder) would list a folder again and again: every folder is walked once, under the
    // first path that reaches it.
    if (!FWalked.insert(TFolderId{self.st_dev, self.st_ino}).second) return;

    TFileEntries files;
    std::vector<TSubFolder> subFolders;
    for (;;) {
      const ssize_t got = ::getdents64(dir.Get(), FBuffer.data(), FBuffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // end of the listing, or it failed: keep what was read
      for (ssize_t pos = 0; pos < got;) {
        const auto* rec = reinterpret_cast<const struct dirent64*>(FBuffer.data() + pos);
        pos += rec->d_reclen;
        const std::string_view name(rec->d_name);
        if (name == "." || name == "..") continue;
        if (IsExcluded(name)) {
          if (FLeftovers && rec->d_type == DT_REG && EndsWithLower(name, KTmpSuffix))
            FLeftovers->push_back(JoinPath(FPath, name));
          continue;
        }
        Classify(dir.Get(), name, rec->d_type, files, subFolders);
      }
    }
    dir.Close();

    // Emit this folder's files with each sub-folder's files spliced in at its place.
    std::size_t emitted = 0;
    for (TSubFolder& sub : subFolders) {
      for (; emitted < sub.FilesBefore; ++emitted) FOnEntry(std::move(files[emitted]));
      const std::size_t pathLen = FPath.size();
      const std::size_t relLen = FRel.size();
      if (FPath.empty() || FPath.back() != '/') FPath += '/';
      FPath += sub.Name;
      FRel += sub.Name;
      FRel += '/';
      Walk();
      FPath.resize(pathLen);
      FRel.resize(relLen);
    }
    for (; emitted < files.size(); ++emitted) FOnEntry(std::move(files[emitted]));
  }

  // Stages one listed name as a file or a sub-folder, or drops it.
  void Classify(int ADirFd, std::string_view AName, unsigned char AType, TFileEntries& AFiles,
                std::vector<TSubFolder>& ASubFolders) {
    if (AType == DT_DIR) {
      ASubFolders.push_back(TSubFolder{std::string(AName), AFiles.size()});
      return;
    }
    // Everything else is looked at through stat, which follows links: a link to a folder is
    // walked, a link to a file is listed with its target's size and time, and a dangling link
    // (nothing to stat, nothing a peer could read) is left out. Sockets, pipes and devices are
    // left out too: they hold no content to share, and opening a pipe would block its reader.
    struct stat st;
    if (::fstatat(ADirFd, AName.data(), &st, 0) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      ASubFolders.push_back(TSubFolder{std::string(AName), AFiles.size()});
    } else if (S_ISREG(st.st_mode)) {
      TFileEntry& entry = AFiles.emplace_back();
      entry.RelPath.reserve(FRel.size() + AName.size());
      entry.RelPath = FRel;
      entry.RelPath += AName;
      entry.Size = static_cast<int64_t>(st.st_size);
      entry.ModifiedUtc = SecondsToDayCount(static_cast<int64_t>(st.st_mtim.tv_sec));
    }
  }

  static std::string JoinPath(const std::string& AFolder, std::string_view AName) {
    std::string path = AFolder;
    if (path.empty() || path.back() != '/') path += '/';
    path += AName;
    return path;
  }

  const TEntrySink& FOnEntry;
  std::vector<std::string>* const FLeftovers;
  std::vector<char> FBuffer;
  std::string FPath;  // full path of the folder being walked
  std::string FRel;   // its path below the root, with a trailing "/" unless it is the root
  std::unordered_set<TFolderId, TFolderIdHash> FWalked;
};

}  // namespace

void ScanFolder(const std::string& ARoot, const TEntrySink& AOnEntry,
                std::vector<std::string>* ALeftovers) {
  TWalker walker(AOnEntry, ALeftovers);
  walker.WalkRoot(ARoot);
}

void ScanFolder(const std::string& ARoot, TFileEntries& AList,
                std::vector<std::string>* ALeftovers) {
  AList.clear();
  ScanFolder(ARoot, [&AList](TFileEntry&& AEntry) { AList.push_back(std::move(AEntry)); },
             ALeftovers);
}

std::optional<TFileEntry> StatEntry(const std::string& ARoot, const RawUtf8& ARelPath) {
  struct stat st;
  if (::stat(LocalPath(ARoot, ARelPath).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  return TFileEntry{ARelPath, static_cast<int64_t>(st.st_size),
                    SecondsToDayCount(static_cast<int64_t>(st.st_mtim.tv_sec)), ""};
}

bool IsExcludedName(std::string_view AName) {
  return IsExcluded(AName);
}

bool IsTempName(std::string_view AName) {
  return EndsWithLower(AName, KTmpSuffix);
}

double FileModifiedUtc(const std::string& APath) {
  // stat cannot be refused because another process holds the file open, so there is no second
  // way to read the time: when stat fails the file is gone or out of reach.
  struct stat st;
  if (::stat(APath.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0.0;
  return SecondsToDayCount(static_cast<int64_t>(st.st_mtim.tv_sec));
}

RawUtf8 HashFileSha256(const std::string& APath) {
  // O_NONBLOCK keeps the open itself from waiting on a pipe; such files are refused below.
  TFd file(::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.Get() < 0) return {};
  struct stat st;
  // Only a regular file has content to hash; a folder opens on Linux but is no file.
  if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};

  Pondar::Core::TSha256 hash;
  std::vector<unsigned char> block(65536);
  for (;;) {
    const ssize_t got = ::read(file.Get(), block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    // A read that fails part-way ends the reading; the digest covers what was read before it.
    if (got <= 0) break;
    hash.Update(block.data(), static_cast<std::size_t>(got));
  }
  return hash.HexDigest();
}

bool SameRelPath(std::string_view A, std::string_view B) {
  return A.size() == B.size() && SameBytesFolded(A, B, A.size());
}

std::string LocalPath(const std::string& ARoot, const RawUtf8& ARelPath) {
  std::string path = ARoot;
  if (path.empty() || path.back() != '/') path += '/';
  const std::size_t relStart = path.size();
  path += ARelPath;
  for (std::size_t i = relStart; i < path.size(); ++i)
    if (path[i] == '\\') path[i] = '/';
  return path;
}

}  // namespace Pondar::Fs
