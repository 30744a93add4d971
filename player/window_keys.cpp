// The main window's keys. They are taken from the application before the
// focused control sees them: push buttons, the list and the speed drop-down
// would otherwise turn Space, the arrows and letters into their own moves.
#include "window_keys.h"

#include <QAbstractSlider>
#include <QKeyEvent>
#include <QSlider>
#include <algorithm>
#include <iterator>
#include <vector>

#include "player_dlg.h"
#include "speed_control.h"

namespace kovel::player {
namespace {

constexpr KeyHelp kKeyHelp[] = {
    {"空格", "播放 / 暂停"},
    {"← / →", "后退 / 前进 5 秒"},
    {"J / L", "后退 / 前进 10 秒"},
    {"Shift+←", "后退 30 秒"},
    {"↑ / ↓", "音量 +5% / -5%"},
    {"M", "静音 / 恢复音量"},
    {"[ / ]", "减速 / 加速"},
    {"Backspace", "恢复正常速度 (1×)"},
    {"F", "全屏 / 退出全屏"},
    {"N", "下一章"},
    {"P", "上一章, 或本章开头 (已播放 5 秒以上时)"},
    {"Home / End", "跳到开头 / 结尾"},
    {"F1", "关于"},
};

// Keys a focused slider uses to move its thumb.
bool IsSliderKey(int key) {
    switch (key) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            return true;
        default:
            return false;
    }
}

// Keys the focused chapter list uses to choose a chapter: without them the
// keyboard alone could not choose one (and so not modify one in edit mode).
bool IsListKey(int key) {
    return IsSliderKey(key) && key != Qt::Key_Left && key != Qt::Key_Right;
}

}  // namespace

KeyCommand CommandForKey(int key, Qt::KeyboardModifiers modifiers) {
    modifiers &= ~Qt::KeypadModifier;
    // Letters and brackets come with Shift on some layouts and with caps lock.
    const bool plain = modifiers == Qt::NoModifier;
    const bool typed = plain || modifiers == Qt::ShiftModifier;
    switch (key) {
        case Qt::Key_Space:
            return plain ? KeyCommand::PlayPause : KeyCommand::None;
        case Qt::Key_Left:
            return plain                            ? KeyCommand::Back5
                   : modifiers == Qt::ShiftModifier ? KeyCommand::Back30
                                                    : KeyCommand::None;
        case Qt::Key_Right:
            return plain ? KeyCommand::Forward5 : KeyCommand::None;
        case Qt::Key_J:
            return typed ? KeyCommand::Back10 : KeyCommand::None;
        case Qt::Key_L:
            return typed ? KeyCommand::Forward10 : KeyCommand::None;
        case Qt::Key_Up:
            return plain ? KeyCommand::VolumeUp : KeyCommand::None;
        case Qt::Key_Down:
            return plain ? KeyCommand::VolumeDown : KeyCommand::None;
        case Qt::Key_M:
            return typed ? KeyCommand::Mute : KeyCommand::None;
        case Qt::Key_BracketLeft:
            return typed ? KeyCommand::Slower : KeyCommand::None;
        case Qt::Key_BracketRight:
            return typed ? KeyCommand::Faster : KeyCommand::None;
        case Qt::Key_Backspace:
            return plain ? KeyCommand::NormalSpeed : KeyCommand::None;
        case Qt::Key_F:
            return typed ? KeyCommand::FullScreen : KeyCommand::None;
        case Qt::Key_N:
            return typed ? KeyCommand::NextChapter : KeyCommand::None;
        case Qt::Key_P:
            return typed ? KeyCommand::PreviousChapter : KeyCommand::None;
        case Qt::Key_Home:
            return plain ? KeyCommand::ToStart : KeyCommand::None;
        case Qt::Key_End:
            return plain ? KeyCommand::ToEnd : KeyCommand::None;
        default:
            return KeyCommand::None;
    }
}

double SeekKeySeconds(KeyCommand command) {
    switch (command) {
        case KeyCommand::Back5:
            return -5;
        case KeyCommand::Forward5:
            return 5;
        case KeyCommand::Back10:
            return -10;
        case KeyCommand::Forward10:
            return 10;
        case KeyCommand::Back30:
            return -30;
        default:
            return 0;
    }
}

std::span<const KeyHelp> KeyHelpRows() {
    return kKeyHelp;
}

bool CPlayerDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this)
        return HandleWindowKey(static_cast<QKeyEvent*>(event));
    return QDialog::eventFilter(watched, event);
}

bool CPlayerDlg::HandleWindowKey(QKeyEvent* event) {
    const KeyCommand command = CommandForKey(event->key(), event->modifiers());
    if (command == KeyCommand::None)
        return false;
    // Keys the focused control keeps for itself: typing, and moving a thumb
    // or the list's choice.
    if (QWidget* focus = focusWidget()) {
        if (focus == Control(IDC_CHAPTERTITLE))
            return false;
        if (qobject_cast<QAbstractSlider*>(focus) && IsSliderKey(event->key()))
            return false;
        if (focus == Control(IDC_CHAPTERS) && IsListKey(event->key()))
            return false;
    }
    // A held key repeats moves, not switches: play/pause, mute and full
    // screen would flicker on and off.
    const bool toggle =
        command == KeyCommand::PlayPause || command == KeyCommand::Mute || command == KeyCommand::FullScreen;
    if (!(toggle && event->isAutoRepeat()))
        RunKeyCommand(command);
    return true;
}

void CPlayerDlg::RunKeyCommand(KeyCommand command) {
    switch (command) {
        case KeyCommand::PlayPause:
            m_player.PlayPause();
            break;
        case KeyCommand::Back5:
        case KeyCommand::Forward5:
        case KeyCommand::Back10:
        case KeyCommand::Forward10:
        case KeyCommand::Back30:
            SeekFromWindow(SeekKeySeconds(command));
            break;
        case KeyCommand::VolumeUp:
        case KeyCommand::VolumeDown:
            StepVolume(command == KeyCommand::VolumeUp ? kVolumeKeyStep : -kVolumeKeyStep);
            break;
        case KeyCommand::Mute:
            ToggleMute();
            break;
        case KeyCommand::Slower:
        case KeyCommand::Faster:
            SetSpeed(NextSpeed(m_player.GetRate(), command == KeyCommand::Faster));
            break;
        case KeyCommand::NormalSpeed:
            SetSpeed(kNormalSpeed);
            break;
        case KeyCommand::FullScreen:
            if (m_player.m_bFullScreen)
                m_player.LeaveFullScreen();
            else
                m_player.EnterFullScreen();
            break;
        case KeyCommand::NextChapter:
        case KeyCommand::PreviousChapter:
            JumpToChapter(command == KeyCommand::NextChapter);
            break;
        case KeyCommand::ToStart:
            SeekFromWindow(-m_player.GetPositionSeconds());
            break;
        case KeyCommand::ToEnd:
            SeekFromWindow(m_player.GetDurationSeconds() - m_player.GetPositionSeconds());
            break;
        case KeyCommand::None:
            break;
    }
}

void CPlayerDlg::SeekFromWindow(double delta) {
    if (m_player.State() == PlayState::Closed)
        return;
    m_player.SeekBy(delta);
    SetPositionLabel(m_player.PositionText(m_player.GetPositionSeconds()));
    UpdateChapterHighlight();
}

void CPlayerDlg::JumpToChapter(bool next) {
    std::vector<double> starts;
    for (int32_t t : m_player.ChapterTimes()) starts.push_back(double(t) * m_player.Scale());
    if (starts.empty() || m_player.State() == PlayState::Closed)
        return;
    std::sort(starts.begin(), starts.end());
    // A seek lands on the second it asked for or a little after: a chapter
    // just jumped to is the one being played, not the next.
    constexpr double kLanding = 0.5;
    const double position = m_player.GetPositionSeconds();
    const auto after = std::upper_bound(starts.begin(), starts.end(), position + kLanding);
    double target = 0;
    if (next) {
        if (after == starts.end())
            return;
        target = *after;
    } else if (after != starts.begin()) {
        const auto current = std::prev(after);
        // Before the first chapter comes the start of the lesson.
        if (position - *current > kChapterRestartSeconds)
            target = *current;
        else if (current != starts.begin())
            target = *std::prev(current);
    }
    SeekFromWindow(target - position);
}

void CPlayerDlg::StepVolume(int delta) {
    auto* volume = static_cast<QSlider*>(Control(IDC_VOLUME));
    const int from = m_bMuted ? m_nVolumeBeforeMute : volume->value();
    m_bMuted = false;
    const int to = std::clamp(from + delta, 0, kVolumeRange);
    volume->setValue(to);
    if (IBasicAudio* ba = m_player.BasicAudio())
        ba->put_Volume(to - kVolumeRange);
}

void CPlayerDlg::ToggleMute() {
    IBasicAudio* ba = m_player.BasicAudio();
    if (!ba)
        return;
    auto* volume = static_cast<QSlider*>(Control(IDC_VOLUME));
    if (m_bMuted) {
        m_bMuted = false;
        volume->setValue(m_nVolumeBeforeMute);
        ba->put_Volume(m_nVolumeBeforeMute - kVolumeRange);
        return;
    }
    // The thumb goes to the bottom so that the silence shows.
    m_nVolumeBeforeMute = volume->value();
    m_bMuted = true;
    volume->setValue(0);
    ba->put_Volume(kSilence);
}

}  // namespace kovel::player
