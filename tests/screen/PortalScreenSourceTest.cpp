// Which source a desktop gets, and the portal's source where it cannot reach the portal. The
// portal itself is played in the lab (tests/lab/ScreenLabTest.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "screen/PortalScreenSource.h"
#include "support/EnvVar.h"
#include "support/TestSupport.h"

namespace {

using Pondard::Screen::TScreenSourceKind;

TEST(PortalScreenSourceTest, ChooseScreenSource_WaylandSessionsGetThePortal) {
  const struct {
    const char* SessionType;
    const char* WaylandDisplay;
    TScreenSourceKind Kind;
  } cases[] = {
      {nullptr, nullptr, TScreenSourceKind::X11},
      {"x11", nullptr, TScreenSourceKind::X11},
      {"tty", "", TScreenSourceKind::X11},
      {"", "", TScreenSourceKind::X11},
      {"wayland", nullptr, TScreenSourceKind::Portal},
      {"wayland", "", TScreenSourceKind::Portal},
      {nullptr, "wayland-0", TScreenSourceKind::Portal},
      {"x11", "wayland-1", TScreenSourceKind::Portal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.SessionType ? c.SessionType : "(unset)") + " / " +
                 (c.WaylandDisplay ? c.WaylandDisplay : "(unset)"));
    EXPECT_EQ(Pondard::Screen::ChooseScreenSource(c.SessionType, c.WaylandDisplay), c.Kind);
  }
}

TEST(PortalScreenSourceTest, NoSessionBus_SizeSaysSoAndTheSourceEnds) {
  PondarTest::TEnvVar bus("DBUS_SESSION_BUS_ADDRESS");
  bus.Set("unix:path=/nonexistent/pondar-test-bus");
  auto source = Pondard::Screen::OpenPortalScreenSource({});
  std::string said;
  ASSERT_TRUE(PondarTest::WaitFor(
      [&] {
        try {
          int width = 0, height = 0;
          EXPECT_FALSE(source->Size(width, height));
        } catch (const Pondard::Screen::TScreenUnavailable& AError) {
          said = AError.what();
        }
        return !said.empty();
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(said,
            "there is no session bus to reach the desktop portal (No such file or directory)");
  source.reset();
}

}  // namespace
