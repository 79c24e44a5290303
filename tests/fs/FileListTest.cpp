#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fs/FileList.h"
#include "fs/Scanner.h"

using namespace Pondar::Fs;

namespace {

std::vector<std::string> Paths(const TFileEntries& AList) {
  std::vector<std::string> out;
  for (const auto& e : AList) out.push_back(e.RelPath);
  return out;
}

// The list as a plain vector searched from end to end: what the index must agree with.
struct TPlainList {
  TFileEntries Entries;

  const TFileEntry* Find(const std::string& APath) const {
    for (const auto& e : Entries)
      if (SameRelPath(e.RelPath, APath)) return &e;
    return nullptr;
  }
  void Store(const TFileEntry& AEntry) {
    for (auto& e : Entries) {
      if (!SameRelPath(e.RelPath, AEntry.RelPath)) continue;
      e.Size = AEntry.Size;
      e.ModifiedUtc = AEntry.ModifiedUtc;
      return;
    }
    Entries.push_back(AEntry);
  }
  std::vector<RawUtf8> RemoveAt(const std::string& APath, bool AWithBelow) {
    std::vector<RawUtf8> removed;
    for (auto it = Entries.rbegin(); it != Entries.rend(); ++it) {
      if (!SameRelPath(it->RelPath, APath)) continue;
      removed.push_back(it->RelPath);
      Entries.erase(std::next(it).base());
      break;
    }
    if (!AWithBelow) return removed;
    std::erase_if(Entries, [&](const TFileEntry& AEntry) {
      const bool below = AEntry.RelPath.size() > APath.size() &&
                         AEntry.RelPath[APath.size()] == '/' &&
                         SameRelPath(AEntry.RelPath.substr(0, APath.size()), APath);
      if (below) removed.push_back(AEntry.RelPath);
      return below;
    });
    return removed;
  }
};

}  // namespace

TEST(FileList, FindsTheFirstSpellingRemovesTheLastAndAFolderTakesWhatIsBelowIt) {
  TFileList list;
  list.Replace({{"Docs/A.txt", 1, 0, ""},
                {"docs", 2, 0, ""},
                {"x", 3, 0, ""},
                {"docs/a.txt", 4, 0, ""},
                {"docsX/b", 5, 0, ""},
                {"DOCS/sub/c", 6, 0, ""}});
  EXPECT_EQ(list.Find("DOCS/A.TXT")->Size, 1);
  EXPECT_FALSE(list.Find("docs/a.tx"));
  EXPECT_TRUE(list.Remove("docs/A.TXT"));
  EXPECT_EQ(list.Find("docs/a.txt")->Size, 1);  // the last spelling went

  // Stored under the spelling the list has; a new path goes to the end.
  list.Store({"DOCS/a.TXT", 7, 1.5, "h"});
  list.Store({"new", 8, 0, ""});
  EXPECT_EQ(list.Entries().front(), (TFileEntry{"Docs/A.txt", 7, 1.5, "h"}));
  EXPECT_EQ(list.Entries().back().RelPath, "new");

  // The equal entry first, then those below it in list order; "docsX/b" is not below "docs".
  EXPECT_EQ(list.RemoveAt("Docs"),
            (std::vector<RawUtf8>{"docs", "Docs/A.txt", "DOCS/sub/c"}));
  EXPECT_EQ(Paths(list.Entries()), (std::vector<std::string>{"x", "docsX/b", "new"}));
  EXPECT_TRUE(list.RemoveAt("docs").empty());
}

TEST(FileList, ARescanKeepsWhatChangedWhileItWalked) {
  TFileList list;
  list.Replace({{"gone", 1, 0, ""},
                {"dir/x", 2, 0, ""},
                {"kept", 3, 0, ""},
                {"stale", 7, 0, ""},
                {"Case", 8, 0, ""},
                {"case", 9, 0, ""}});
  EXPECT_TRUE(list.Rescan([&](const TEntrySink& ASink) {
    ASink({"gone", 1, 0, ""});
    ASink({"dir/x", 2, 0, ""});
    // While the walk runs: a download lands where the walk has been, a file and a folder are
    // deleted after the walk saw them, and a file the walk will see is updated.
    list.Store({"new", 4, 0, ""});
    list.Remove("GONE");
    list.RemoveAt("dir");
    list.Store({"kept", 5, 0, ""});
    ASink({"kept", 5, 0, ""});
    ASink({"case", 9, 0, ""});  // one of two spellings is left on disk
    ASink({"added", 10, 0, ""});
  }));  // and "stale" was not found
  EXPECT_EQ(list.Entries(), (TFileEntries{{"kept", 5, 0, ""},
                                          {"case", 9, 0, ""},
                                          {"added", 10, 0, ""},
                                          {"new", 4, 0, ""}}));
  // The rescan is over: what changed during it is not applied to the next one.
  const auto onDisk = [](const TEntrySink& ASink) { ASink({"kept", 5, 0, ""}); };
  EXPECT_TRUE(list.Rescan(onDisk));
  EXPECT_EQ(Paths(list.Entries()), (std::vector<std::string>{"kept"}));
  EXPECT_FALSE(list.Rescan(onDisk));
}

TEST(FileList, ARescanKnowsWhatItFoundWhenTheGapsAreClosedUnderIt) {
  TFileEntries all;
  for (int i = 0; i < 3000; ++i) all.push_back({"f" + std::to_string(i), i, 0, ""});
  TFileList list;
  list.Replace(all);
  list.Rescan([&](const TEntrySink& ASink) {
    for (int i = 2600; i < 3000; ++i) ASink(TFileEntry(all[i]));
    // Enough deletes to close the gaps: what the walk found moves to other places.
    for (int i = 1000; i < 2600; ++i) list.Remove(all[i].RelPath);
    for (int i = 0; i < 1000; ++i) ASink(TFileEntry(all[i]));
  });
  all.erase(all.begin() + 1000, all.begin() + 2600);
  EXPECT_EQ(list.Entries(), all);
}

TEST(FileList, AgreesWithAPlainSearchOnRandomLists) {
  // Few distinct letters, so that spellings of one path meet often.
  std::mt19937 rng(20261209);
  TPlainList plain;
  const auto randomPath = [&] {
    static const char Letters[] = "aAbBc";
    std::string path;
    const int parts = 1 + static_cast<int>(rng() % 2);
    for (int p = 0; p < parts; ++p) {
      if (p > 0) path += '/';
      const int len = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < len; ++i) path += Letters[rng() % 5];
    }
    return path;
  };
  // A listed path in another spelling, its folder, or any path at all.
  const auto probe = [&] {
    if (plain.Entries.empty() || rng() % 4 == 0) return randomPath();
    std::string path = plain.Entries[rng() % plain.Entries.size()].RelPath;
    for (char& c : path)
      if (c != '/' && rng() % 2) c ^= 0x20;
    if (rng() % 8 == 0 && path.find('/') != std::string::npos) path.resize(path.find('/'));
    return path;
  };
  TFileList list;
  for (int i = 0; i < 300; ++i) plain.Entries.push_back({randomPath(), i, 0, ""});
  list.Replace(plain.Entries);  // several spellings of one path, as a scan can list them

  // Grow to 3 000, shrink to 100, then churn at that size, where runs of the table's small
  // probe sequences often wrap around its end.
  int turns = 0, churned = 0;
  for (int round = 0; turns < 3; ++round) {
    const bool growing = turns == 0 || (turns == 2 && plain.Entries.size() < 100);
    if (turns == 0 ? plain.Entries.size() >= 3000
                   : turns == 1 ? plain.Entries.size() <= 100 : ++churned == 30000) {
      ++turns;
      ASSERT_EQ(list.Entries(), plain.Entries);
      // The same entries in another order are no change; one field changed is one.
      std::shuffle(plain.Entries.begin(), plain.Entries.end(), rng);
      ASSERT_FALSE(list.Replace(plain.Entries));
      plain.Entries.front().ModifiedUtc += 1.0 / 86400;
      ASSERT_TRUE(list.Replace(plain.Entries));
    }
    const unsigned op = rng() % 10;
    if (growing ? op < 8 : op < 1) {
      const TFileEntry entry{randomPath(), round, round * 0.5, ""};
      plain.Store(entry);
      list.Store(entry);
    } else if (op < 8) {
      const std::string path = probe();
      ASSERT_EQ(list.Remove(path), !plain.RemoveAt(path, false).empty()) << path;
    } else if (op < 9 && !growing) {  // a folder may take hundreds with it
      const std::string path = probe();
      ASSERT_EQ(list.RemoveAt(path), plain.RemoveAt(path, true)) << path;
    } else {
      const std::string path = probe();
      const TFileEntry* expected = plain.Find(path);
      const auto found = list.Find(path);
      ASSERT_EQ(found.has_value(), expected != nullptr) << path;
      if (expected) {
        ASSERT_EQ(*found, *expected) << path;
      }
    }
    ASSERT_EQ(list.Size(), plain.Entries.size());
  }
}
