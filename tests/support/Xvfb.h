// A private X server for tests that need a display (screen capture, clipboard), and a way to run
// X clients such as xclip or xrandr against it.
//
//   PondarTest::TXvfb x(1366, 768);
//   if (!x.Ok()) GTEST_SKIP() << x.Why();
//   auto r = PondarTest::RunOnDisplay(x.Display(), {"xclip", "-o", "-selection", "clipboard"});
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/NetLab.h"

struct xcb_connection_t;
struct xcb_screen_t;

namespace PondarTest {

// A private X server for one test: Xvfb on a free display number, ended with the object.
// The number is locked as X servers lock theirs (/tmp/.X<n>-lock), because the socket file
// that peers in other network namespaces reach it by is shared by every namespace: Xvfb's own
// choice (-displayfd) only sees the sockets of its own namespace, so test runs in two
// namespaces would each take :0, and the second would take the first one's socket file away.
// Xvfb says so once it accepts connections. It listens on its unix socket alone (no TCP),
// which also works inside `unshare --net`, and keeps what was drawn when its last client
// disconnects (-noreset). Should the test process die without the destructor, the server is
// killed with it (the thread that made the object must outlive it: the main thread in gtest).
class TXvfb {
 public:
  explicit TXvfb(int AWidth = 1024, int AHeight = 768, int ADepth = 24);
  ~TXvfb();
  TXvfb(const TXvfb&) = delete;
  TXvfb& operator=(const TXvfb&) = delete;

  bool Ok() const { return !FDisplay.empty(); }  // false when Xvfb is missing or did not come up
  const std::string& Why() const { return FWhy; }  // why not, in one line, for GTEST_SKIP
  const std::string& Display() const { return FDisplay; }  // ":N"

 private:
  // Starts Xvfb on ANumber; on failure FWhy says why, and ATaken whether the number was in use.
  void Start(const std::string& AXvfb, int ANumber, const std::string& AScreen, bool& ATaken);
  static bool LockDisplay(int ANumber);  // false when another live process holds it
  void UnlockDisplay();

  pid_t FPid = -1;
  int FLocked = -1;  // the display number whose lock file is ours
  std::string FDisplay;
  std::string FWhy;
};

// A test's own X client on a display, for setting up what the code under test then sees. Each
// call has been carried out by the server when it returns.
class TXClient {
 public:
  explicit TXClient(const std::string& ADisplay);
  ~TXClient();
  TXClient(const TXClient&) = delete;
  TXClient& operator=(const TXClient&) = delete;

  bool Ok() const;
  // Paints the top-left AWidth x AHeight of the root window with AColor(x, y) = 0xRRGGBB, each
  // channel widened to the root visual's masks as servers do (10 bits: the top 2 repeated).
  // False when the server's format is not true colour of 32 bits a pixel, least byte first.
  bool FillRoot(int AWidth, int AHeight, const std::function<uint32_t(int AX, int AY)>& AColor);
  // Makes the first RandR output the primary one.
  void SetPrimaryOutput();
  // Takes the first CRTC away from its output and sets the screen's size; false when refused.
  // This is how far Xvfb lets RandR go: it cannot grow the screen beyond its start size or
  // switch to another mode.
  bool SwitchOffAndResize(int AWidth, int AHeight);

 private:
  xcb_connection_t* FConn;
  xcb_screen_t* FScreen = nullptr;
};

struct TRunResult {
  int Status = -1;  // exit status; -1 when it could not be started, died of a signal or timed out
  bool TimedOut = false;
  std::string Out;  // standard output
  std::string Err;  // standard error
};

// Runs a program with DISPLAY set, waits for it (with a bound), returns its exit status and
// stdout. AArgv[0] is looked up on $PATH; AInput is its standard input. A program still running
// after ATimeout is killed. What it leaves running in the background (xclip -i stays to serve the
// selection it set) is not waited for; it ends with the server.
TRunResult RunOnDisplay(const std::string& ADisplay, const std::vector<std::string>& AArgv,
                        const std::string& AInput = "",
                        std::chrono::milliseconds ATimeout = std::chrono::seconds(30));

}  // namespace PondarTest
