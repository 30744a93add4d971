#include "kovel/build_tree.h"
#include "player_app.h"

int main(int argc, char** argv) {
    KovelUseBuildTreeRegistry();
    kovel::player::CPlayerApp app;
    return app.Run(argc, argv);
}
