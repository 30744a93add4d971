// Playback speed as the window offers it: the choices, their texts, the
// drop-down button beside the time and the choices of the right-click menus.
#pragma once

#include <QString>
#include <iterator>

class QMenu;
class QToolButton;
class QWidget;

namespace kovel::player {

// The speeds offered, slowest first.
inline constexpr double kSpeeds[] = {0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 3.0};
inline constexpr double kNormalSpeed = 1.0;
// The slowest and fastest speed accepted (the command line takes any in between).
inline constexpr double kMinSpeed = 0.5;
inline constexpr double kMaxSpeed = 3.0;

// Menu commands choosing kSpeeds[i]: kFirstSpeedCommand + i.
enum : int { kFirstSpeedCommand = 32800 };
constexpr int SpeedCommandCount() {
    return int(std::size(kSpeeds));
}
// The speed a menu command chooses; 0 when the command chooses none.
double SpeedOfCommand(int command);

// "1.25×", "2×".
QString SpeedText(double rate);

// The next offered speed above (`faster`) or below `rate`; `rate` itself at
// either end of the choices.
double NextSpeed(double rate, bool faster);

// Appends one checkable item per speed, `current` checked; each carries its
// command (QAction::data()).
void AddSpeedChoices(QMenu* menu, double current);

// The speed drop-down beside the time: shows the speed; a click offers the
// choices (the window runs that menu).
QToolButton* CreateSpeedButton(QWidget* parent);
void ShowSpeed(QToolButton* button, double rate);

}  // namespace kovel::player
