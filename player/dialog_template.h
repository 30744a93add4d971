// The control table of the main dialog (template 102) and of the about box
// (template 100): ids, kinds, texts, rectangles in dialog units, tab stops.
#pragma once

#include <QFont>
#include <QRect>
#include <span>

namespace kovel::player {

enum class ControlKind { GroupBox, Trackbar, PushButton, ListBox, Edit, Static, Icon };

// Controls without an id of their own (the captions) use this one.
constexpr int kStaticId = -1;

struct ControlSpec {
    int id;
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, cx, cy;  // dialog units
    bool tabStop;
    bool visible;  // at creation
};

// Control ids of the main dialog.
enum : int {
    IDC_POSITION = 1001,
    IDC_STOP = 1002,
    IDC_PLAYPAUSE = 1003,
    IDC_VOLUME = 1004,
    IDC_CHAPTERS = 1005,
    IDC_SCREENBOX = 1006,
    IDC_CAMERABOX = 1007,
    IDC_CHAPTERFRAME = 1008,
    IDC_TRANSPORTFRAME = 1009,
    IDC_OPEN = 1010,
    IDC_POSITIONTEXT = 1011,
    IDC_DURATIONTEXT = 1012,
    IDC_EDITFRAME = 1013,
    IDC_ADDCHAPTER = 1014,
    IDC_MODIFYCHAPTER = 1015,
    IDC_DELETECHAPTER = 1016,
    IDC_CHAPTERTITLE = 1017,
    IDC_EDITDONE = 1018,
    IDC_MAKERNAME = 1021,
    IDC_MAKINGDATE = 1022,
    IDC_TITLE = 1023,
    IDC_AUTHORLINK = 1024,
};

// The controls that exist only for chapter editing.
constexpr int kEditModeControls[] = {IDC_ADDCHAPTER, IDC_DELETECHAPTER, IDC_MODIFYCHAPTER, IDC_CHAPTERTITLE,
                                     IDC_EDITDONE};

struct DialogTemplate {
    const char* title;
    int cx, cy;  // dialog units
    const char* fontFamily;
    int fontPoints;
    std::span<const ControlSpec> controls;
};

const DialogTemplate& MainDialogTemplate();
// What a screen reader calls a control of the main dialog that shows no text
// of its own (UTF-8); null for the others, which are known by their texts.
const char* AccessibleName(int id);
const DialogTemplate& AboutDialogTemplate();

// Dialog base units of a font: average character width and character height,
// as the platform's dialog manager measures them.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;

    QRect ToPixels(int x_du, int y_du, int cx_du, int cy_du) const {
        return QRect(x_du * x / 4, y_du * y / 8, cx_du * x / 4, cy_du * y / 8);
    }
};
DialogBaseUnits BaseUnitsOf(const QFont& font);

// The dialog font as available here.
QFont DialogFont(const DialogTemplate& tmpl);

}  // namespace kovel::player
