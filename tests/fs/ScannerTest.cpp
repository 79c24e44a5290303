// The folder scan and the small file and list operations, on real folders in a sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fs/Scanner.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace Pondar::Fs;
using PondarTest::DayCount;
using PondarTest::TSandbox;

namespace {

std::vector<std::string> Paths(const TFileEntries& AList) {
  std::vector<std::string> out;
  for (const TFileEntry& e : AList) out.push_back(e.RelPath);
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> AList) {
  std::sort(AList.begin(), AList.end());
  return AList;
}

// The order a plain recursive listing gives, with the standard library's own directory reader:
// files of a folder in listing order, a sub-folder's files at the place it was met.
void ReferenceWalk(const fs::path& ADir, const std::string& APrefix,
                   std::vector<std::string>& AOut) {
  for (const fs::directory_entry& e : fs::directory_iterator(ADir)) {
    const std::string name = e.path().filename().string();
    if (e.is_directory())
      ReferenceWalk(e.path(), APrefix + name + "/", AOut);
    else
      AOut.push_back(APrefix + name);
  }
}

// SHA-256 as printed by the coreutils tool, to check our chunked hashing against another
// implementation.
std::string Sha256sumOf(const fs::path& APath) {
  const std::string cmd = "sha256sum '" + APath.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(cmd.c_str(), "r");
  if (!pipe) return {};
  char buf[128] = {};
  const std::size_t got = std::fread(buf, 1, sizeof buf - 1, pipe);
  ::pclose(pipe);
  return std::string(buf, std::min<std::size_t>(got, 64));
}

}  // namespace

// ---- ScanFolder ---------------------------------------------------------------------------

TEST(ScanFolder, MissingEmptyOrFileRoot_EmptiesTheList) {
  TSandbox box, other;
  for (const fs::path& root : {box.Path() / "no-such-folder", box.Path(), other.Write("f", "x")}) {
    TFileEntries list{TFileEntry{"stale.txt", 1, 2.0, ""}};
    ScanFolder(root.string(), list);
    EXPECT_TRUE(list.empty()) << root;
  }
}

// Slash paths in their stored case, size, whole-second time and no hash, whatever the root's
// spelling; hidden names listed; the program's name and the temporary suffix, whatever their
// case, left out at every depth, as files and as folders (never entered).
TEST(ScanFolder, EntriesAndExcludedNames) {
  TSandbox box;
  const fs::path file = box.Write("docs/Sub/a.TXT", "hello world");
  PondarTest::SetMTime(file, 1700000123, 900000000);
  for (const char* kept : {".hidden", ".config/settings", "pondar.exe.bak", "pondartmp",
                           "x.pondartmp.old", "sub/report.docx"})
    box.Write(kept, "kept");
  for (const char* left : {"Pondar.Exe", "sub/pondar.exe", "sub/deeper/PONDAR.EXE",
                           "sub/report.docx.Pondartmp", "old.pondartmp/inside.txt",
                           "a/OLD.PONDARTMP/deep/inside.txt", "Pondar.exe/inside.txt"})
    box.Write(left, "left out");
  for (const std::string& root : {box.Str(), box.Str() + "/"}) {
    TFileEntries list;
    ScanFolder(root, list);
    EXPECT_EQ(Sorted(Paths(list)),
              (std::vector<std::string>{".config/settings", ".hidden", "docs/Sub/a.TXT",
                                        "pondar.exe.bak", "pondartmp", "sub/report.docx",
                                        "x.pondartmp.old"}))
        << root;
    for (const TFileEntry& e : list) {
      if (e.RelPath != "docs/Sub/a.TXT") continue;
      EXPECT_EQ(e.Size, 11);
      EXPECT_EQ(e.ModifiedUtc, DayCount(1700000123));  // the sub-second part dropped
      EXPECT_TRUE(e.Sha256.empty());
    }
  }
}

TEST(ScanFolder, DepthFirstInListingOrder) {
  TSandbox box;
  // Enough names that the file system's listing order is not the creation order.
  for (int d = 0; d < 4; ++d) {
    for (int f = 0; f < 6; ++f)
      box.Write("d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", "x");
    box.Write("d" + std::to_string(d) + "/inner/g.txt", "x");
    box.Write("top" + std::to_string(d) + ".txt", "x");
  }
  std::vector<std::string> expected;
  ReferenceWalk(box.Path(), "", expected);
  ASSERT_EQ(expected.size(), 4u * 7u + 4u);

  TFileEntries list;
  ScanFolder(box.Str(), list);
  EXPECT_EQ(Paths(list), expected);
}

TEST(ScanFolder, LinkToOwnAncestorEndsAndListsEachFileOnce) {
  TSandbox box;
  box.Write("f.txt", "root file");
  box.Write("a/g.txt", "sub file");
  fs::create_directory_symlink("..", box.Path() / "a" / "up");  // back to the root
  fs::create_directory_symlink(".", box.Path() / "a" / "self");
  fs::create_directory_symlink(box.Path(), box.Path() / "a" / "root-abs");

  TFileEntries list;
  ScanFolder(box.Str(), list);
  // Every folder is walked once, under the first path that reaches it: the root and "a" are
  // reached before any link to them, so the links add nothing.
  EXPECT_EQ(Sorted(Paths(list)), (std::vector<std::string>{"a/g.txt", "f.txt"}));
}

TEST(ScanFolder, LinkToFolderOutsideIsWalkedOnce) {
  TSandbox box;
  TSandbox outside;
  outside.Write("o.txt", "outside");
  outside.Write("sub/p.txt", "outside too");
  box.Write("mine.txt", "inside");
  fs::create_directory_symlink(outside.Path(), box.Path() / "ext");
  fs::create_directory_symlink(outside.Path(), box.Path() / "ext2");

  TFileEntries list;
  ScanFolder(box.Str(), list);
  const std::vector<std::string> paths = Sorted(Paths(list));
  // Both links lead to one folder; it is listed under whichever link the listing meets first.
  const std::vector<std::string> viaExt{"ext/o.txt", "ext/sub/p.txt", "mine.txt"};
  const std::vector<std::string> viaExt2{"ext2/o.txt", "ext2/sub/p.txt", "mine.txt"};
  EXPECT_TRUE(paths == viaExt || paths == viaExt2) << ::testing::PrintToString(paths);
  // The first link in listing order is the one used.
  std::string firstLink;
  for (const fs::directory_entry& e : fs::directory_iterator(box.Path())) {
    const std::string name = e.path().filename().string();
    if (name == "ext" || name == "ext2") {
      firstLink = name;
      break;
    }
  }
  EXPECT_EQ(paths.front().substr(0, firstLink.size() + 1), firstLink + "/");
}

TEST(ScanFolder, FileLinksUseTheirTargetAndOtherKindsAreLeftOut) {
  TSandbox box;
  TSandbox outside;
  const fs::path target = outside.Write("target.bin", std::string(1234, 'z'));
  PondarTest::SetMTime(target, 1600000000);
  fs::create_symlink(target, box.Path() / "link.bin");
  fs::create_symlink(box.Path() / "gone", box.Path() / "dangling");
  fs::create_directory_symlink(box.Path() / "no-folder", box.Path() / "dangling-dir");
  ASSERT_EQ(::mkfifo((box.Path() / "pipe").c_str(), 0600), 0);
  box.Write("plain.txt", "p");

  TFileEntries list;
  ScanFolder(box.Str(), list);
  ASSERT_EQ(Sorted(Paths(list)), (std::vector<std::string>{"link.bin", "plain.txt"}));
  const auto link = std::find_if(list.begin(), list.end(),
                                 [](const TFileEntry& AEntry) { return AEntry.RelPath == "link.bin"; });
  ASSERT_NE(link, list.end());
  EXPECT_EQ(link->Size, 1234);
  EXPECT_EQ(link->ModifiedUtc, DayCount(1600000000));
}

TEST(ScanFolder, ManyFilesInOneFolderAreAllListed) {
  TSandbox box;
  // More names than one listing read returns, so reading the listing must loop.
  const int count = 3000;
  for (int i = 0; i < count; ++i) {
    const std::string name = "a-rather-long-file-name-to-fill-the-buffer-" + std::to_string(i);
    const int fd = ::open((box.Path() / name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  TFileEntries list;
  ScanFolder(box.Str(), list);
  std::vector<std::string> expected;
  ReferenceWalk(box.Path(), "", expected);
  EXPECT_EQ(list.size(), static_cast<std::size_t>(count));
  EXPECT_EQ(Paths(list), expected);
}

// ---- IsExcludedName -----------------------------------------------------------------------

TEST(IsExcludedName, ProgramNameAndTemporarySuffixWhateverTheCase) {
  EXPECT_TRUE(IsExcludedName("pondar.exe"));
  EXPECT_TRUE(IsExcludedName("Pondar.Exe"));
  EXPECT_TRUE(IsExcludedName("PONDAR.EXE"));
  EXPECT_TRUE(IsExcludedName("report.docx.Pondartmp"));
  EXPECT_TRUE(IsExcludedName(".pondartmp"));
  EXPECT_TRUE(IsExcludedName("\xC3\xA9t\xC3\xA9.PONDARTMP"));  // été.PONDARTMP
  EXPECT_FALSE(IsExcludedName("pondar.exe.bak"));
  EXPECT_FALSE(IsExcludedName("my pondar.exe"));
  EXPECT_FALSE(IsExcludedName("pondartmp"));
  EXPECT_FALSE(IsExcludedName("x.pondartmp "));
  EXPECT_FALSE(IsExcludedName(""));
}

// ---- FileModifiedUtc ----------------------------------------------------------------------

TEST(FileModifiedUtc, WholeSecondsAsDayCount) {
  TSandbox box;
  const fs::path file = box.Write("t.txt", "x");
  PondarTest::SetMTime(file, 1704067200, 900000000);
  EXPECT_EQ(FileModifiedUtc(file.string()), 45292.0);  // 2024-01-01 since 1899-12-30, no fraction
  for (const int64_t secs : {int64_t{1}, int64_t{86399}, int64_t{1234567890}, int64_t{-86400}}) {
    PondarTest::SetMTime(file, secs);
    EXPECT_EQ(FileModifiedUtc(file.string()), DayCount(secs)) << secs;
  }
  PondarTest::SetMTime(file, 0);
  EXPECT_EQ(FileModifiedUtc(file.string()), 0.0);
}

TEST(FileModifiedUtc, FollowsLinksAndGivesZeroForFoldersAndMissingFiles) {
  TSandbox box;
  const fs::path target = box.Write("target.txt", "x");
  PondarTest::SetMTime(target, 1500000000);
  const fs::path link = box.Path() / "link.txt";
  fs::create_symlink(target, link);
  PondarTest::SetMTime(link, 1400000000, 0, AT_SYMLINK_NOFOLLOW);  // the link's own time differs

  EXPECT_EQ(FileModifiedUtc(link.string()), DayCount(1500000000));
  EXPECT_EQ(FileModifiedUtc(box.Str()), 0.0);
  EXPECT_EQ(FileModifiedUtc((box.Path() / "missing.txt").string()), 0.0);
  fs::create_symlink(box.Path() / "missing.txt", box.Path() / "dangling");
  EXPECT_EQ(FileModifiedUtc((box.Path() / "dangling").string()), 0.0);
}

// ---- HashFileSha256 -----------------------------------------------------------------------

TEST(HashFileSha256, KnownDigests) {
  TSandbox box;
  EXPECT_EQ(HashFileSha256(box.Write("empty", "").string()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HashFileSha256(box.Write("abc", "abc").string()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(HashFileSha256, FilesLongerThanOneReadMatchAnotherImplementation) {
  TSandbox box;
  // Sizes around the 64 KiB read: one byte short, exact, and several reads plus a remainder.
  for (const std::size_t size : {std::size_t{65535}, std::size_t{65536}, std::size_t{200003}}) {
    std::string content(size, '\0');
    uint32_t state = static_cast<uint32_t>(size);
    for (char& c : content) {
      state = state * 1664525u + 1013904223u;
      c = static_cast<char>(state >> 24);
    }
    const fs::path file = box.Write("data-" + std::to_string(size), content);
    const std::string ours = HashFileSha256(file.string());
    ASSERT_EQ(ours.size(), 64u);
    EXPECT_TRUE(std::all_of(ours.begin(), ours.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    }));

    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(ours, std::string(hex)) << size;

    const std::string tool = Sha256sumOf(file);
    if (!tool.empty()) {
      EXPECT_EQ(ours, tool) << size;
    }
  }
}

TEST(HashFileSha256, LinksFollowed_WhatCannotBeOpenedAsAFileGivesEmptyText) {
  TSandbox box;
  fs::create_symlink(box.Write("target", "abc"), box.Path() / "link");
  EXPECT_EQ(HashFileSha256((box.Path() / "link").string()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HashFileSha256((box.Path() / "missing").string()), "");
  EXPECT_EQ(HashFileSha256(box.Str()), "");  // a folder
  fs::create_symlink(box.Path() / "missing", box.Path() / "dangling");
  EXPECT_EQ(HashFileSha256((box.Path() / "dangling").string()), "");
  ASSERT_EQ(::mkfifo((box.Path() / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(HashFileSha256((box.Path() / "pipe").string()), "");  // and it must not block

  const fs::path locked = box.Write("locked", "secret");
  ::chmod(locked.c_str(), 0);
  if (::geteuid() != 0) {  // permissions do not stop root
    EXPECT_EQ(HashFileSha256(locked.string()), "");
  }
}

// ---- SameRelPath, LocalPath ---------------------------------------------------------

TEST(SameRelPath, IgnoresBit0x20OfEveryByte) {
  EXPECT_TRUE(SameRelPath("Docs/A.txt", "docs/a.TXT"));
  EXPECT_TRUE(SameRelPath("a[1].txt", "a{1}.txt"));
  EXPECT_TRUE(SameRelPath("@^]", "`~}"));
  EXPECT_TRUE(SameRelPath("\xC3\xA9", "\xC3\x89"));  // é and É
  EXPECT_TRUE(SameRelPath("", ""));
  EXPECT_FALSE(SameRelPath("a.txt", "a.txt "));
  EXPECT_FALSE(SameRelPath("a.txt", "b.txt"));
  EXPECT_FALSE(SameRelPath("a/b", "a\\b"));
  EXPECT_FALSE(SameRelPath("a", ""));
}

TEST(LocalPath, JoinsWithOneSeparatorAndTakesBackslashes) {
  EXPECT_EQ(LocalPath("/srv/share", "docs/a.txt"), "/srv/share/docs/a.txt");
  EXPECT_EQ(LocalPath("/srv/share/", "docs/a.txt"), "/srv/share/docs/a.txt");
  EXPECT_EQ(LocalPath("/srv/share", "docs\\sub\\a.txt"), "/srv/share/docs/sub/a.txt");
  EXPECT_EQ(LocalPath("/srv/back\\slash", "a"), "/srv/back\\slash/a");  // the root is kept as is
}
