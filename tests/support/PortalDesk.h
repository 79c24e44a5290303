// A Wayland desktop for lab tests, played by real programs in one lab peer's namespace: a private
// session bus (dbus-daemon), PipeWire with its session manager (wireplumber), and
// tests/programs/fake_desktop, which is the compositor's screen (support/TestPicture.h) and the
// desktop portal that hands it out. They share a runtime folder of their own under the lab's log
// folder, so nothing reaches the machine's own bus or PipeWire, and they end with this object,
// or with the lab should the test die first.
//
//   TPortalDesk desk(lab, 1, 320, 200, "BGRx");
//   TSpawnOptions o;
//   o.Env = desk.Env();   // then "pondard --headless" in peer 1 shares this desktop's screen
//   desk.Command("fill 0 0 64 64 ff0000");
//   WaitFor([&] { return desk.Log().find("granted") != std::string::npos; });
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/NetLab.h"

namespace PondarTest {

class TPortalDesk {
 public:
  // True when the programs it needs are installed; otherwise false, naming what is missing.
  static bool Available(std::string* AWhyNot);
  // Starts the desktop with a screen of AWidth x AHeight in the PipeWire format AFormat
  // (fake_desktop's FORMAT). Throws std::runtime_error, with what was said, when a part does
  // not come up within a bound far beyond what it needs.
  TPortalDesk(TNetLab& ALab, int APeer, int AWidth, int AHeight, const std::string& AFormat);

  // For a program that shares this desktop: its runtime folder, its session bus, a Wayland
  // session.
  std::map<std::string, std::string> Env() const;
  // One of fake_desktop's commands.
  void Command(const std::string& ALine) const;
  // fake_desktop's events so far, one a line.
  std::string Log() const { return FDesktop.ReadLog(); }
  // Every part's output, for a failed test.
  std::string Describe() const;

 private:
  std::filesystem::path FRun;
  std::vector<TLabProcess> FDaemons;  // dbus-daemon, pipewire, wireplumber
  TLabProcess FDesktop;
};

}  // namespace PondarTest
