// The application object: builds the main window from the command line and
// runs it; or, with --headless, works without a window.
#pragma once

namespace kovel::player {

class CPlayerApp {
  public:
    // Returns the process exit code.
    int Run(int argc, char** argv);

  private:
    int RunHeadless(int argc, char** argv);
};

}  // namespace kovel::player
