// The one Qt application object that a test program of widgets or of the clipboard needs,
// drawing off-screen so that no display is required.
#pragma once

#include <QtGlobal>

namespace PondarTest {

// Makes the application of type TApp (QGuiApplication, QApplication) on its first call; it
// lives until the program ends. Call it on the main thread, which then is Qt's.
template <class TApp>
void StartOffscreenQt() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "pondar-test";
  static char* argv[] = {name, nullptr};
  static TApp app(argc, argv);
}

}  // namespace PondarTest
