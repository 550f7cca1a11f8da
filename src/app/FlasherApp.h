#pragma once
#include <string>

class QApplication;

namespace kelvane {

// Start-up: names the application after its executable, sets its version
// and icon, runs the main window modally and ends when it closes.
class CFlasherApp {
 public:
  // Applies the application-wide settings; argv0 is the program's own name.
  static void Setup(QApplication& app, const char* argv0);
  // Runs the main window with the command line's argument text. Returns the
  // process's exit status (0: the window was closed).
  int InitInstance(const std::string& argumentText);
};

}  // namespace kelvane
