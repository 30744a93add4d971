// The main window's keys: what each one does, and the list the about box
// shows. They act on the whole window except while the chapter title entry
// has the focus; a focused slider, and the focused chapter list, keep their
// own moving keys.
#pragma once

#include <QtCore/qnamespace.h>
#include <span>

namespace kovel::player {

enum class KeyCommand {
    None,
    PlayPause,
    Back5,
    Forward5,
    Back10,
    Forward10,
    Back30,
    VolumeUp,
    VolumeDown,
    Mute,
    Slower,
    Faster,
    NormalSpeed,
    FullScreen,
    NextChapter,
    PreviousChapter,
    ToStart,
    ToEnd,
};

KeyCommand CommandForKey(int key, Qt::KeyboardModifiers modifiers);

// Seconds a seek key moves: negative back, positive forward; 0 for the others.
double SeekKeySeconds(KeyCommand command);

// The volume keys move the volume slider by 5 % of its range.
constexpr int kVolumeKeyStep = 300;
// P returns to the start of the chapter being played when more than this
// many seconds into it, else to the chapter before.
constexpr double kChapterRestartSeconds = 5.0;

// One line of the about box's key list (UTF-8).
struct KeyHelp {
    const char* keys;
    const char* action;
};
std::span<const KeyHelp> KeyHelpRows();

}  // namespace kovel::player
