#include "player_app.h"

int main(int argc, char** argv) {
    kovel::player::CPlayerApp app;
    return app.Run(argc, argv);
}
