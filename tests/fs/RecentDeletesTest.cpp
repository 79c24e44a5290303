// The memory of local deletes that keeps a sync from fetching back what the user deleted.
#include <gtest/gtest.h>

#include "fs/RecentDeletes.h"

namespace {

using Pondar::Fs::TRecentDeletes;

constexpr uint64_t T0 = 5000;

TEST(RecentDeletesTest, CoversThePathAndEverythingBelowADeletedFolder) {
  TRecentDeletes deletes;
  deletes.Record("docs/old", 45000.25, T0);
  deletes.Record("a.txt", 45000.5, T0);
  struct {
    const char* Path;
    double Expected;
  } const cases[] = {
      {"a.txt", 45000.5},
      {"A.TXT", 45000.5},  // the list's equality of paths
      {"docs/old", 45000.25},
      {"docs/old/x.txt", 45000.25},
      {"Docs/OLD/deep/y", 45000.25},
      {"docs", 0.0},
      {"docs/older/x", 0.0},
      {"docs/ol", 0.0},
      {"a.txt.bak", 0.0},
      {"b/a.txt", 0.0},
      {"", 0.0},
  };
  for (const auto& c : cases) EXPECT_EQ(deletes.LastDelete(c.Path, T0 + 10), c.Expected) << c.Path;
}

TEST(RecentDeletesTest, NewestDeleteOfPathOrFolderWins_ForgottenAfterAMinute) {
  TRecentDeletes deletes;
  deletes.Record("f/x", 45000.75, T0);
  deletes.Record("f", 45000.5, T0 + 100);  // an older time read later still leaves the newer
  EXPECT_EQ(deletes.LastDelete("f/x", T0 + 100), 45000.75);
  deletes.Record("F/X", 45001.0, T0 + 200);
  EXPECT_EQ(deletes.LastDelete("f/x", T0 + 200), 45001.0);

  const uint64_t keep = TRecentDeletes::KeepMs;
  EXPECT_EQ(deletes.LastDelete("f/y", T0 + 100 + keep - 1), 45000.5);
  EXPECT_EQ(deletes.LastDelete("f/y", T0 + 100 + keep), 0.0);
  EXPECT_EQ(deletes.LastDelete("f/x", T0 + 200 + keep - 1), 45001.0);
  // Expired entries are also pruned away when new deletes come in.
  deletes.Record("g", 45002.0, T0 + 200 + keep);
  EXPECT_EQ(deletes.LastDelete("f/x", T0 + 200 + keep), 0.0);
}

}  // namespace
