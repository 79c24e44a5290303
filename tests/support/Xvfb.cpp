#include "support/Xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern char** environ;

namespace PondarTest {

namespace {

using namespace std::chrono_literals;

// Xvfb comes up in well under a second; a loaded CI machine gets far more than five times that.
constexpr auto KStartBound = 30s;
constexpr auto KStopBound = 10s;
// Display numbers taken for tests: clear of :0 and the few a desktop session uses.
constexpr int KFirstDisplay = 20;
constexpr int KDisplaysTried = 200;

// An unnamed file under the temporary folder, for a child's standard stream: unlike a pipe it
// never fills up and never waits for a reader, and it is gone once closed.
int TempFile() {
  std::string name = (std::filesystem::temp_directory_path() / "pondar-x-XXXXXX").string();
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

std::string ReadAll(int AFd) {
  std::string out;
  if (AFd < 0 || ::lseek(AFd, 0, SEEK_SET) < 0) return out;
  char buf[4096];
  for (ssize_t got; (got = ::read(AFd, buf, sizeof buf)) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

// AStdio[i] becomes descriptor i of the child, AExtra its descriptor 3 (when >= 0). Only calls
// that are safe between fork and exec happen in the child; everything is prepared before.
pid_t Spawn(const std::string& APath, const std::vector<std::string>& AArgv,
            const std::vector<std::string>& AEnv, const int (&AStdio)[3], int AExtra,
            bool ADieWithUs) {
  std::vector<char*> argv, envp;
  for (const auto& arg : AArgv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (const auto& var : AEnv) envp.push_back(const_cast<char*>(var.c_str()));
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (ADieWithUs) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // we were gone before the line above
  }
  // Above 2 and 3 first, so that moving one descriptor cannot overwrite another still needed.
  int fds[4] = {AStdio[0], AStdio[1], AStdio[2], AExtra};
  for (int i = 0; i < 4; ++i)
    if (fds[i] >= 0 && fds[i] <= 3) fds[i] = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 10);
  for (int i = 0; i < 4; ++i)
    if (fds[i] >= 0) ::dup2(fds[i], i);  // the copy has no close-on-exec
  ::execve(APath.c_str(), argv.data(), envp.data());
  ::_exit(127);
}

// This process's environment with DISPLAY replaced.
std::vector<std::string> EnvWithDisplay(const std::string& ADisplay) {
  std::vector<std::string> env;
  for (char** var = environ; *var; ++var)
    if (std::strncmp(*var, "DISPLAY=", 8) != 0) env.emplace_back(*var);
  env.push_back("DISPLAY=" + ADisplay);
  return env;
}

// Waits up to ABound for APid; its exit status, or -1 (killed first when still running).
int WaitBounded(pid_t APid, std::chrono::milliseconds ABound, bool* ATimedOut = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + ABound;
  int status = 0;
  for (;;) {
    const pid_t got = ::waitpid(APid, &status, WNOHANG);
    if (got == APid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (got < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(2ms);
  }
  if (ATimedOut) *ATimedOut = true;
  ::kill(APid, SIGKILL);
  while (::waitpid(APid, &status, 0) < 0 && errno == EINTR) {
  }
  return -1;
}

// The last line of AText with words in it: Xvfb ends its complaints with the reason, among
// "(EE)" marks.
std::string LastWords(const std::string& AText) {
  std::stringstream lines(AText);
  std::string line, last;
  while (std::getline(lines, line)) {
    for (size_t at; (at = line.find("(EE)")) != std::string::npos;) line.erase(at, 4);
    const auto start = line.find_first_not_of(" \t");
    if (start != std::string::npos) last = line.substr(start);
  }
  return last.empty() ? "no message" : last;
}

const xcb_visualtype_t* RootVisual(const xcb_screen_t* AScreen) {
  for (auto d = xcb_screen_allowed_depths_iterator(AScreen); d.rem; xcb_depth_next(&d))
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
      if (v.data->visual_id == AScreen->root_visual) return v.data;
  return nullptr;
}

uint32_t PixelOf(const xcb_visualtype_t* AVisual, uint32_t ARgb) {
  uint32_t pixel = 0;
  const uint32_t masks[3] = {AVisual->red_mask, AVisual->green_mask, AVisual->blue_mask};
  for (int c = 0; c < 3; ++c) {
    const uint32_t value = (ARgb >> (16 - 8 * c)) & 0xff;
    const int bits = std::popcount(masks[c]);
    const uint32_t wide = bits >= 8 ? value << (bits - 8) | value >> (16 - bits) : value >> (8 - bits);
    pixel |= wide << std::countr_zero(masks[c]);
  }
  return pixel;
}

using TResources =
    std::unique_ptr<xcb_randr_get_screen_resources_current_reply_t, decltype(&std::free)>;

TResources Resources(xcb_connection_t* AConn, xcb_window_t ARoot) {
  return TResources(xcb_randr_get_screen_resources_current_reply(
                        AConn, xcb_randr_get_screen_resources_current(AConn, ARoot), nullptr),
                    &std::free);
}

// Waits until the server has carried out everything sent before.
void Sync(xcb_connection_t* AConn) {
  std::free(xcb_get_input_focus_reply(AConn, xcb_get_input_focus(AConn), nullptr));
}

}  // namespace

TXClient::TXClient(const std::string& ADisplay) : FConn(xcb_connect(ADisplay.c_str(), nullptr)) {
  if (Ok()) FScreen = xcb_setup_roots_iterator(xcb_get_setup(FConn)).data;
}

TXClient::~TXClient() { xcb_disconnect(FConn); }

bool TXClient::Ok() const { return !xcb_connection_has_error(FConn); }

bool TXClient::FillRoot(int AWidth, int AHeight,
                        const std::function<uint32_t(int AX, int AY)>& AColor) {
  const xcb_visualtype_t* visual = FScreen ? RootVisual(FScreen) : nullptr;
  if (!visual || xcb_get_setup(FConn)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  const xcb_gcontext_t gc = xcb_generate_id(FConn);
  xcb_create_gc(FConn, gc, FScreen->root, 0, nullptr);
  constexpr int KRows = 64;  // a strip per request, well inside the request size limit
  std::vector<uint32_t> strip(static_cast<size_t>(AWidth) * KRows);
  for (int y0 = 0; y0 < AHeight; y0 += KRows) {
    const int rows = std::min(KRows, AHeight - y0);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < AWidth; ++x)
        strip[static_cast<size_t>(y) * AWidth + x] = PixelOf(visual, AColor(x, y0 + y));
    xcb_put_image(FConn, XCB_IMAGE_FORMAT_Z_PIXMAP, FScreen->root, gc,
                  static_cast<uint16_t>(AWidth), static_cast<uint16_t>(rows), 0,
                  static_cast<int16_t>(y0), 0, FScreen->root_depth,
                  static_cast<uint32_t>(rows * AWidth * 4), reinterpret_cast<uint8_t*>(strip.data()));
  }
  xcb_free_gc(FConn, gc);
  Sync(FConn);
  return Ok();
}

void TXClient::SetPrimaryOutput() {
  if (!FScreen) return;
  const TResources res = Resources(FConn, FScreen->root);
  if (!res || res->num_outputs == 0) return;
  xcb_randr_set_output_primary(FConn, FScreen->root,
                               xcb_randr_get_screen_resources_current_outputs(res.get())[0]);
  Sync(FConn);
}

bool TXClient::SwitchOffAndResize(int AWidth, int AHeight) {
  if (!FScreen) return false;
  const TResources res = Resources(FConn, FScreen->root);
  if (!res || res->num_crtcs == 0) return false;
  std::free(xcb_randr_set_crtc_config_reply(
      FConn,
      xcb_randr_set_crtc_config(FConn, xcb_randr_get_screen_resources_current_crtcs(res.get())[0],
                                XCB_CURRENT_TIME, res->config_timestamp, 0, 0, XCB_NONE,
                                XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
      nullptr));
  xcb_generic_error_t* error = xcb_request_check(
      FConn, xcb_randr_set_screen_size_checked(FConn, FScreen->root, static_cast<uint16_t>(AWidth),
                                               static_cast<uint16_t>(AHeight), 300, 200));
  std::free(error);
  return !error;
}

TXvfb::TXvfb(int AWidth, int AHeight, int ADepth) {
  const std::string xvfb = FindProgram("Xvfb");
  if (xvfb.empty()) {
    FWhy = "Xvfb is not installed (Debian package xvfb)";
    return;
  }
  const std::string screen =
      std::to_string(AWidth) + "x" + std::to_string(AHeight) + "x" + std::to_string(ADepth);
  // Spread over the numbers, so that tests side by side rarely ask for the same one first.
  const int first = KFirstDisplay + static_cast<int>(::getpid() % KDisplaysTried);
  for (int i = 0; i < KDisplaysTried && FDisplay.empty(); ++i) {
    const int number = KFirstDisplay + (first - KFirstDisplay + i) % KDisplaysTried;
    if (!LockDisplay(number)) continue;
    FLocked = number;
    bool taken = false;
    Start(xvfb, number, screen, taken);
    if (FDisplay.empty()) UnlockDisplay();
    if (!taken) break;  // a failure of its own, said in FWhy
    FWhy.clear();
  }
  if (FDisplay.empty() && FWhy.empty()) FWhy = "no free X display number for Xvfb";
}

void TXvfb::Start(const std::string& AXvfb, int ANumber, const std::string& AScreen,
                  bool& ATaken) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    FWhy = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  const int err = TempFile();
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const std::string display = ":" + std::to_string(ANumber);
  FPid = Spawn(AXvfb,
               {"Xvfb", display, "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0",
                AScreen},
               EnvWithDisplay(""), {null, null, err}, ready[1], true);
  ::close(ready[1]);
  if (null >= 0) ::close(null);

  // Xvfb writes its display number and a newline once it accepts connections, and the pipe
  // reaches its end if it gives up.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + KStartBound;
  while (FPid > 0 && number.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{ready[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
      FWhy = "Xvfb did not say it was ready within " +
             std::to_string(std::chrono::seconds(KStartBound).count()) + " s";
      break;
    }
    char buf[32];
    const ssize_t got = ::read(ready[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      WaitBounded(FPid, KStopBound);
      FPid = -1;
      const std::string said = ReadAll(err);
      // A server of another network namespace holds the number without a lock.
      ATaken = said.find("Cannot establish any listening sockets") != std::string::npos;
      FWhy = "Xvfb -screen 0 " + AScreen + " did not start: " + LastWords(said);
      break;
    }
    number.append(buf, static_cast<size_t>(got));
  }
  ::close(ready[0]);
  if (err >= 0) ::close(err);
  if (FPid > 0 && FWhy.empty()) {
    FDisplay = display;
  } else if (FPid > 0) {
    ::kill(FPid, SIGKILL);
    WaitBounded(FPid, KStopBound);
    FPid = -1;
  } else if (FWhy.empty()) {
    FWhy = "cannot start Xvfb";
  }
}

bool TXvfb::LockDisplay(int ANumber) {
  const std::string lock = "/tmp/.X" + std::to_string(ANumber) + "-lock";
  std::string temp = "/tmp/.pondar-xlock-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
  ::fchmod(fd, 0444);
  ::close(fd);
  bool locked = false;
  // link() makes the lock whole or not at all; a lock whose process is gone is stale.
  for (int attempt = 0; written && attempt < 2 && !locked; ++attempt) {
    if (::link(temp.c_str(), lock.c_str()) == 0) {
      locked = true;
      break;
    }
    if (errno != EEXIST) break;
    std::ifstream in(lock);
    long owner = 0;
    if ((in >> owner) && owner > 0 && (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH))
      break;
    ::unlink(lock.c_str());
  }
  ::unlink(temp.c_str());
  return locked;
}

void TXvfb::UnlockDisplay() {
  if (FLocked < 0) return;
  ::unlink(("/tmp/.X" + std::to_string(FLocked) + "-lock").c_str());
  FLocked = -1;
}

TXvfb::~TXvfb() {
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    WaitBounded(FPid, KStopBound);
  }
  UnlockDisplay();
}

TRunResult RunOnDisplay(const std::string& ADisplay, const std::vector<std::string>& AArgv,
                        const std::string& AInput, std::chrono::milliseconds ATimeout) {
  TRunResult result;
  const std::string path = AArgv.empty() ? "" : FindProgram(AArgv[0]);
  if (path.empty()) {
    result.Err = "not found on PATH: " + (AArgv.empty() ? std::string("(nothing)") : AArgv[0]);
    return result;
  }
  const int in = TempFile(), out = TempFile(), err = TempFile();
  if (in >= 0 && (::write(in, AInput.data(), AInput.size()) != static_cast<ssize_t>(AInput.size()) ||
                  ::lseek(in, 0, SEEK_SET) < 0)) {
    result.Err = "cannot write the program's input";
  } else if (in >= 0 && out >= 0 && err >= 0) {
    const pid_t pid = Spawn(path, AArgv, EnvWithDisplay(ADisplay), {in, out, err}, -1, false);
    if (pid > 0) {
      result.Status = WaitBounded(pid, ATimeout, &result.TimedOut);
      result.Out = ReadAll(out);
      result.Err = ReadAll(err);
    }
  }
  for (int fd : {in, out, err})
    if (fd >= 0) ::close(fd);
  return result;
}

}  // namespace PondarTest
