// The application object: builds the main window from the command line and
// runs it; or, with --headless, works without a window.
#pragma once

#include "command_line.h"

namespace kovel::player {

class CPlayerDlg;

// Runs the main window: initialises it, shows it and runs the application's
// event loop until the user closes the window or SIGTERM, SIGINT or SIGHUP
// arrives. Hiding the window (full screen re-creates it) does not end the
// loop. The close clean-up runs on every path. Returns the exit code: 0, or
// 128 plus the number of the signal that ended the program.
int RunMainWindow(CPlayerDlg& dlg);

class CPlayerApp {
  public:
    // Returns the process exit code.
    int Run(int argc, char** argv);

  private:
    int RunHeadless(int argc, char** argv, const CommandLine& options);
};

}  // namespace kovel::player
