// The application object: builds the main window from the command line and
// runs it; or, with --headless, works without a window.
#pragma once

#include "command_line.h"

namespace kovel::player {

class CPlayerApp {
  public:
    // Returns the process exit code.
    int Run(int argc, char** argv);

  private:
    int RunHeadless(int argc, char** argv, const CommandLine& options);
};

}  // namespace kovel::player
