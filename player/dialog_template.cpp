#include "dialog_template.h"

#include <QFontMetrics>

namespace kovel::player {
namespace {

using K = ControlKind;

// Order is creation order; the tab stops among them form the tab order.
constexpr ControlSpec kMainControls[] = {
    {IDC_SCREENBOX, K::GroupBox, "", 155, 6, 256, 193, false, true},
    {IDC_CAMERABOX, K::GroupBox, "", 7, 6, 141, 117, false, true},
    {IDC_POSITION, K::Trackbar, "", 153, 202, 258, 15, true, true},
    {IDC_CHAPTERFRAME, K::GroupBox, "章节", 7, 169, 141, 103, false, true},
    {IDC_STOP, K::PushButton, "停止", 237, 227, 30, 16, true, true},
    {IDC_PLAYPAUSE, K::PushButton, "播放/暂停", 200, 227, 30, 16, true, true},
    {IDC_VOLUME, K::Trackbar, "", 273, 229, 69, 10, true, true},
    {IDC_TRANSPORTFRAME, K::GroupBox, "", 159, 219, 252, 28, false, true},
    {IDC_CHAPTERS, K::ListBox, "", 14, 181, 126, 86, true, true},
    {IDC_OPEN, K::PushButton, "打开", 162, 227, 30, 16, true, true},
    {IDC_POSITIONTEXT, K::Static, "00:00:00", 342, 229, 33, 14, false, true},
    {IDC_DURATIONTEXT, K::Static, "00:00:00", 376, 229, 33, 14, false, true},
    {IDC_EDITFRAME, K::GroupBox, "", 159, 244, 252, 28, false, true},
    {IDC_ADDCHAPTER, K::PushButton, "添加章节", 263, 252, 30, 16, true, true},
    {IDC_MODIFYCHAPTER, K::PushButton, "修改章节", 297, 252, 30, 16, true, true},
    {IDC_DELETECHAPTER, K::PushButton, "删除章节", 332, 252, 30, 16, true, true},
    {IDC_CHAPTERTITLE, K::Edit, "", 168, 250, 87, 18, true, true},
    {IDC_EDITDONE, K::PushButton, "编辑完成", 366, 252, 30, 16, true, true},
    {kStaticId, K::Static, "制 作 者：", 9, 142, 32, 8, false, true},
    {kStaticId, K::Static, "制作日期：", 9, 154, 36, 8, false, true},
    {kStaticId, K::Static, "课件主题：", 9, 129, 36, 8, false, true},
    {IDC_MAKERNAME, K::Static, "", 49, 142, 68, 8, false, true},
    {IDC_MAKINGDATE, K::Static, "", 49, 154, 68, 8, false, true},
    {IDC_TITLE, K::Static, "", 49, 129, 68, 8, false, true},
    {IDC_AUTHORLINK, K::Static, "t", 49, 142, 68, 8, false, false},
};

constexpr ControlSpec kAboutControls[] = {
    {kStaticId, K::Icon, "", 11, 17, 20, 20, false, true},
    {kStaticId, K::Static, "kovelPlayer Version 1.0", 40, 10, 119, 8, false, true},
    {kStaticId, K::Static, "录制课件播放器", 40, 25, 119, 8, false, true},
    {1, K::PushButton, "确定", 178, 7, 50, 16, true, true},
};

const DialogTemplate kMain{"KovelPlayer", 418, 279, "MS Shell Dlg", 9, kMainControls};
const DialogTemplate kAbout{"关于 kovelPlayer", 235, 55, "MS Shell Dlg", 9, kAboutControls};

}  // namespace

const DialogTemplate& MainDialogTemplate() {
    return kMain;
}
const char* AccessibleName(int id) {
    switch (id) {
        case IDC_POSITION:
            return "播放进度";
        case IDC_VOLUME:
            return "音量";
        case IDC_CHAPTERS:
            return "章节";
        case IDC_CHAPTERTITLE:
            return "章节标题";
        case IDC_SCREENBOX:
            return "屏幕录像";
        case IDC_CAMERABOX:
            return "摄像画面";
        default:
            return nullptr;
    }
}

const DialogTemplate& AboutDialogTemplate() {
    return kAbout;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    QFontMetrics fm(font);
    // The dialog manager averages the 52 Latin letters and rounds.
    const int letters =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogBaseUnits units;
    units.x = (letters / 26 + 1) / 2;
    units.y = fm.height();
    if (units.x < 1)
        units.x = 1;
    if (units.y < 1)
        units.y = 1;
    return units;
}

QFont DialogFont(const DialogTemplate& tmpl) {
    // The template's font family does not exist here; the system font at the
    // template's size keeps the proportions and renders the Chinese texts.
    QFont font;
    font.setPointSize(tmpl.fontPoints);
    return font;
}

}  // namespace kovel::player
