// Full-screen mode: the same dialog without its frame, over the whole
// primary screen and above other windows, every control of the layout range
// hidden and the screen recording stretched over it; and the way back.
#include "full_screen.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>

#include "graph_player.h"
#include "graph_util.h"
#include "nested_loop.h"
#include "player_dlg.h"
#include "report_message.h"
#include "speed_control.h"

namespace kovel::player {
namespace {

QWidget* LayoutControl(QWidget* dialog, int id) {
    return dialog->findChild<QWidget*>(QStringLiteral("ctl%1").arg(id), Qt::FindDirectChildrenOnly);
}

void ShowAddedControls(QWidget* dialog, bool show) {
    for (QWidget* w : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->property(kHiddenInFullScreen).toBool())
            w->setVisible(show);
}

QAction* AddCommand(QMenu* menu, const char* text, int command) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setData(command);
    return action;
}

}  // namespace

int ExecMenu(QMenu& menu, QPoint at) {
    CNestedLoopScope nested;
    QAction* chosen = menu.exec(at);
    return chosen ? chosen->data().toInt() : 0;
}

std::unique_ptr<QMenu> LoadPopupMenu(int id, QWidget* parent, double speed) {
    const char* title = nullptr;
    const char* item = nullptr;
    int command = 0;
    switch (id) {
        case IDR_WINDOWED_MENU:
            title = "非全屏右键菜单";
            item = "全屏播放";
            command = ID_ENTER_FULLSCREEN;
            break;
        case IDR_FULLSCREEN_MENU:
            title = "全屏右键菜单";
            item = "退出全屏";
            command = ID_LEAVE_FULLSCREEN;
            break;
        default:
            return nullptr;
    }
    auto menu = std::make_unique<QMenu>(QString::fromUtf8(title), parent);
    AddCommand(menu.get(), item, command);
    AddSpeedChoices(menu->addMenu(QString::fromUtf8("播放速度")), speed);
    // The window has no system menu here: the about box is offered here too.
    menu->addSeparator();
    AddCommand(menu.get(), "关于 kovelPlayer(&A)...", IDM_ABOUTBOX);
    return menu;
}

HRESULT CGraphPlayer::StretchScreenWindow() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!m_pCVW || !m_hWnd || !screen)
        return E_FAIL;
    const QSize display = screen->size();
    // Neither failure is shown: the layout is full screen either way.
    m_pCVW->put_Owner(reinterpret_cast<OAHWND>(m_hWnd));
    return m_pCVW->SetWindowPosition(0, 0, display.width(), display.height());
}

HRESULT CGraphPlayer::EnterFullScreen() {
    if (!m_pCVW || m_bFullScreen || !m_hWnd)
        return E_FAIL;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return E_FAIL;
    const QRect display = screen->geometry();

    // Leaving comes back to the normal placement, as from a maximized window.
    m_rcWindowed = m_hWnd->geometry();
    if (m_hWnd->isMaximized() && m_hWnd->normalGeometry().isValid())
        m_rcWindowed = m_hWnd->normalGeometry();
    m_windowedFlags = m_hWnd->windowFlags();
    m_windowedMinSize = m_hWnd->minimumSize();
    m_hWnd->setWindowFlags(m_windowedFlags | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    // A screen smaller than the window's least size is still covered.
    m_hWnd->setMinimumSize(0, 0);
    for (int id = kFirstLayoutControl; id <= kLastLayoutControl; ++id)
        if (QWidget* w = LayoutControl(m_hWnd, id))
            w->hide();
    ShowAddedControls(m_hWnd, false);
    // Placed on the primary screen first, so that is the screen it fills.
    // Full-screen state rather than maximized: window managers keep their
    // panels clear of a maximized window.
    m_hWnd->setGeometry(display);
    m_hWnd->showFullScreen();
    m_hWnd->setGeometry(display);
    m_hWnd->raise();
    m_hWnd->activateWindow();

    const HRESULT hr = StretchScreenWindow();
    m_bFullScreen = true;
    return hr;
}

void CGraphPlayer::RestoreWindowedLayout() {
    m_hWnd->setWindowFlags(m_windowedFlags);
    m_hWnd->setMinimumSize(m_windowedMinSize);
    m_hWnd->showNormal();
    m_hWnd->setGeometry(m_rcWindowed);
    const int last = m_bEditMode ? kLastLayoutControl : kLastWindowedControl;
    for (int id = kFirstLayoutControl; id <= last; ++id)
        if (QWidget* w = LayoutControl(m_hWnd, id))
            w->show();
    ShowAddedControls(m_hWnd, true);
}

HRESULT CGraphPlayer::LeaveFullScreen() {
    if (!m_bFullScreen || !m_hWnd)
        return E_FAIL;
    RestoreWindowedLayout();
    if (!m_pCVW) {
        // A lesson without a screen recording (or a failed open) replaced
        // the picture while in full screen: nothing to dock, but the window
        // must not stay frameless with its controls hidden.
        m_bFullScreen = false;
        return S_OK;
    }
    // Docking reports its own failures; the flag then stays set, so the
    // way back is still offered.
    const HRESULT hr = DockVideo(m_pCVW, m_pCBV, IDC_SCREENBOX, "m_pCVW->put_Owner((OAHWND)screenHwnd)",
                                 "m_pCVW->put_WindowStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN)",
                                 "CUtil::SetVideoWindowPos(m_pCVW, m_pCBV, &screenRect)");
    if (FAILED(hr))
        return hr;
    m_bFullScreen = false;
    return S_OK;
}

void CPlayerDlg::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    const QPoint at = event->globalPos();
    int menuId = 0;
    if (!m_player.m_bFullScreen && !isMaximized()) {
        QWidget* box = Control(IDC_SCREENBOX);
        const QRect boxOnScreen(box->mapToGlobal(QPoint(0, 0)), box->size());
        if (boxOnScreen.contains(at) && m_player.State() == PlayState::Running)
            menuId = IDR_WINDOWED_MENU;
    } else if (m_player.m_bFullScreen && m_player.State() == PlayState::Running) {
        menuId = IDR_FULLSCREEN_MENU;
    }
    if (!menuId)
        return;
    std::unique_ptr<QMenu> menu = LoadPopupMenu(menuId, this, m_player.GetRate());
    const int command = ExecMenu(*menu, at);
    menu.reset();
    OnMenuCommand(command);
}

void CPlayerDlg::OnMenuCommand(int command) {
    if (const double speed = SpeedOfCommand(command); speed > 0) {
        SetSpeed(speed);
        return;
    }
    switch (command) {
        case ID_ENTER_FULLSCREEN:
            m_player.EnterFullScreen();
            break;
        case ID_LEAVE_FULLSCREEN:
            m_player.LeaveFullScreen();
            break;
        case IDM_ABOUTBOX:
            ShowAbout();
            break;
        default:
            break;
    }
}

void CPlayerDlg::keyPressEvent(QKeyEvent* event) {
    // In full screen Escape is the way back, not the end of the dialog.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && m_player.m_bFullScreen) {
        event->accept();
        m_player.LeaveFullScreen();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace kovel::player
