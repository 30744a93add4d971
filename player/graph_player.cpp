#include "graph_player.h"

namespace kovel::player {

void CGraphPlayer::CloseGraph() {
    // Graph interfaces are released here once the graph exists.
    m_state = PlayState::Closed;
}

}  // namespace kovel::player
