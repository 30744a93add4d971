// The dialog's playback object. It owns the media graph once one is built;
// until then it only carries the state the window consults.
#pragma once

#include <cstdint>

class QWidget;

namespace kovel::player {

enum class PlayState : int32_t { Stopped = 0, Paused = 1, Running = 2, Closed = 3 };

class CGraphPlayer {
  public:
    CGraphPlayer() = default;
    CGraphPlayer(const CGraphPlayer&) = delete;
    CGraphPlayer& operator=(const CGraphPlayer&) = delete;

    // The window that receives graph notifications and hosts the video windows.
    void SetOwner(QWidget* owner) { m_hWnd = owner; }
    QWidget* Owner() const { return m_hWnd; }

    PlayState State() const { return m_state; }

    // Releases the graph; there is none to release while nothing plays.
    void CloseGraph();

    // Chapter editing is allowed (switched by open requests).
    bool m_bEditMode = false;

  private:
    QWidget* m_hWnd = nullptr;
    PlayState m_state = PlayState::Closed;
};

}  // namespace kovel::player
