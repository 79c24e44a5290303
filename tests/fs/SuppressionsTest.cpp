// The suppression list in memory, on a clock the test turns: each case is a script of holds,
// releases, waits and the watcher's reading, with the answers expected along the way. That the watcher consults it
// is WatcherTest's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fs/Suppressions.h"

using Pondar::Core::TFileAction;
using Pondar::Fs::TSuppressions;
using Kind = Pondar::Fs::TSuppressKind;

namespace {

enum class TOp { Hold, Release, ReleaseAfter, Wait, Held, Covers, WatcherRead, WatcherGone };

struct TStep {
  TOp Op;
  std::string Path;
  Kind HeldAs = Kind::Everything;
  uint32_t Ms = 0;
  TFileAction Action = TFileAction::faModified;
  bool Expected = false;
};

TStep Hold(std::string APath, Kind AKind = Kind::Everything) {
  return {TOp::Hold, std::move(APath), AKind};
}
TStep Release(std::string APath, Kind AKind = Kind::Everything) {
  return {TOp::Release, std::move(APath), AKind};
}
TStep ReleaseAfter(std::string APath, uint32_t AMs) {
  return {TOp::ReleaseAfter, std::move(APath), Kind::Everything, AMs};
}
TStep Wait(uint32_t AMs) {
  return {TOp::Wait, "", Kind::Everything, AMs};
}
// IsSuppressed(path), of whatever kind.
TStep Held(std::string APath, bool AExpected) {
  return {TOp::Held, std::move(APath), Kind::Everything, 0, TFileAction::faModified, AExpected};
}
// IsSuppressed(path, action).
TStep Covers(std::string APath, TFileAction AAction, bool AExpected) {
  return {TOp::Covers, std::move(APath), Kind::Everything, 0, AAction, AExpected};
}

// The watcher has read every change made before tick ATick (the clock starts at 1000).
TStep WatcherRead(uint32_t ATick) {
  return {TOp::WatcherRead, "", Kind::Everything, ATick};
}
TStep WatcherGone() {
  return {TOp::WatcherGone, ""};
}

struct TCase {
  const char* Name;
  std::vector<TStep> Steps;
};

constexpr TFileAction Created = TFileAction::faCreated;
constexpr TFileAction Modified = TFileAction::faModified;
constexpr TFileAction Deleted = TFileAction::faDeleted;

}  // namespace

TEST(SuppressionsTest, ScriptedHoldsAndReleases) {
  const std::vector<TCase> cases = {
      {"counted-and-without-regard-to-case",
       {Hold("a.txt"), Hold("a.txt"), Release("A.TXT"), Held("a.txt", true), Held("A.txt", true),
        Release("A.TXT"), Held("a.txt", false)}},
      {"release-of-an-absent-path-changes-nothing",
       {Release("never.txt"), Hold("a.txt"), Release("b.txt"), Release("a.txt "),
        Held("a.txt", true), Held("b.txt", false), Release("a.txt"), Release("a.txt"),
        Held("a.txt", false)}},
      {"the-exact-path-only",
       {Hold("docs/sub/f.txt"), Held("docs/sub", false), Held("docs/sub/f.txt/x", false),
        Held("docs/sub/f.txt", true)}},
      {"everything-covers-every-action",
       {Hold("e"), Covers("e", Created, true), Covers("e", Modified, true),
        Covers("e", Deleted, true)}},
      {"writes-let-a-delete-through",
       {Hold("w", Kind::Writes), Covers("w", Created, true), Covers("w", Modified, true),
        Covers("w", Deleted, false)}},
      {"deletes-let-a-write-through",
       {Hold("d", Kind::Deletes), Covers("d", Deleted, true), Covers("d", Created, false),
        Covers("d", Modified, false)}},
      {"a-release-of-another-kind-has-no-effect",
       {Hold("downloaded.txt", Kind::Writes), Release("downloaded.txt", Kind::Everything),
        Covers("downloaded.txt", Modified, true), Release("downloaded.txt", Kind::Writes),
        Held("downloaded.txt", false)}},
      {"delayed-release-counts-until-its-time",
       {Hold("x.txt"), ReleaseAfter("X.TXT", 600), Held("x.txt", true), Wait(599),
        Held("x.txt", true), Wait(1), Held("x.txt", false), Wait(10000), Held("x.txt", false)}},
      // Each release retires one hold: a plain one after a delayed one takes the other
      // occurrence, not the one that is already on its way out.
      {"plain-release-after-a-delayed-one-takes-the-other-hold",
       {Hold("y.txt"), Hold("y.txt"), ReleaseAfter("y.txt", 100), Release("y.txt"),
        Held("y.txt", true), Wait(100), Held("y.txt", false)}},
      {"delayed-release-with-nothing-left-to-retire-changes-nothing",
       {Hold("z.txt"), ReleaseAfter("z.txt", 50), ReleaseAfter("z.txt", 5000), Wait(50),
        Held("z.txt", false)}},
      // The sweep of expired ones, once a second whatever path is looked at, keeps what is held.
      {"the-sweep-keeps-what-is-held",
       {Hold("held.txt"), Hold("later.txt"), ReleaseAfter("later.txt", 5000), Wait(2000),
        Held("other.txt", false), Held("held.txt", true), Held("LATER.txt", true)}},
      // A watcher held up past the delay still reads our change while it is held: a hold
      // goes only once the watcher has read from a tick after its release.
      {"a-watching-watcher-must-read-past-the-release",
       {WatcherRead(1000), Hold("s.txt"), Wait(5), ReleaseAfter("s.txt", 600), Wait(5000),
        Held("s.txt", true), WatcherRead(1005), Held("s.txt", true), WatcherRead(1006),
        Held("s.txt", false)}},
      {"read-past-the-release-the-delay-still-counts",
       {WatcherRead(1000), Hold("r.txt"), ReleaseAfter("r.txt", 600), Wait(1), WatcherRead(1001),
        Held("r.txt", true), Wait(599), Held("r.txt", false)}},
      {"once-the-watcher-is-gone-the-delay-alone-counts",
       {WatcherRead(1000), Hold("g.txt"), ReleaseAfter("g.txt", 600), Wait(600),
        Held("g.txt", true), WatcherGone(), Held("g.txt", false)}},
  };
  for (const TCase& c : cases) {
    uint64_t now = 1000;
    TSuppressions list([&now] { return now; });
    for (size_t i = 0; i < c.Steps.size(); ++i) {
      const TStep& s = c.Steps[i];
      switch (s.Op) {
        case TOp::Hold:
          list.SuppressPath(s.Path, s.HeldAs);
          break;
        case TOp::Release:
          list.UnsuppressPath(s.Path, s.HeldAs);
          break;
        case TOp::ReleaseAfter:
          list.UnsuppressPathAfter(s.Path, s.Ms);
          break;
        case TOp::Wait:
          now += s.Ms;
          break;
        case TOp::WatcherRead:
          list.WatcherReadUpTo(s.Ms);
          break;
        case TOp::WatcherGone:
          list.WatcherGone();
          break;
        case TOp::Held:
          EXPECT_EQ(list.IsSuppressed(s.Path), s.Expected) << c.Name << ", step " << i;
          break;
        case TOp::Covers:
          EXPECT_EQ(list.IsSuppressed(s.Path, s.Action), s.Expected) << c.Name << ", step " << i;
          break;
      }
    }
  }
}
