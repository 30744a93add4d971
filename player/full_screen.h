// Full-screen mode of the main window: the right-click menus that offer it
// and the controls it hides.
#pragma once

#include <QPoint>
#include <memory>

class QMenu;
class QWidget;

namespace kovel::player {

// Menu resources and the commands their items carry (QAction::data()).
enum : int {
    IDR_WINDOWED_MENU = 129,    // "非全屏右键菜单"
    IDR_FULLSCREEN_MENU = 130,  // "全屏右键菜单"
    ID_ENTER_FULLSCREEN = 32774,
    ID_LEAVE_FULLSCREEN = 32780,
    IDM_ABOUTBOX = 16,
};

// Full screen hides the controls with ids from kFirstLayoutControl to
// kLastLayoutControl; leaving it shows them again up to kLastLayoutControl in
// edit mode, else up to kLastWindowedControl (the chapter editing row stays
// hidden).
constexpr int kFirstLayoutControl = 1001;
constexpr int kLastLayoutControl = 1018;
constexpr int kLastWindowedControl = 1013;
// Controls the window adds beside the template's (the speed drop-down) carry
// this property: full screen hides them too, and leaving it shows them again.
inline constexpr char kHiddenInFullScreen[] = "hiddenInFullScreen";

// The pop-up of menu `id` (129 or 130), built for one use; null for any other id.
// Each menu ends with the speed choices (`speed` checked) and the about box item.
std::unique_ptr<QMenu> LoadPopupMenu(int id, QWidget* parent, double speed);

// Runs `menu` at `at` (global) as a nested loop; the chosen item's command,
// 0 when none was chosen.
int ExecMenu(QMenu& menu, QPoint at);

}  // namespace kovel::player
