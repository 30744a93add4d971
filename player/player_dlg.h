// The player's main window: the controls of dialog 102, the open command,
// open requests from other programs, the lesson's descriptive texts.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QRect>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "chapter_list.h"
#include "courseware_info.h"
#include "dialog_template.h"
#include "graph_player.h"

class QLabel;
class QSlider;
class QTimer;

namespace kovel::player {

class CLinkLabel;
class COpenRequestServer;
class CSeekPreview;

// Slider notification codes, as the transport handles them.
enum TrackbarCode {
    TB_LINEUP = 0,
    TB_LINEDOWN = 1,
    TB_PAGEUP = 2,
    TB_PAGEDOWN = 3,
    TB_THUMBPOSITION = 4,
    TB_THUMBTRACK = 5,
    TB_TOP = 6,
    TB_BOTTOM = 7,
    TB_ENDTRACK = 8
};
// The volume slider spans -60 dB (0) to full volume (6000).
constexpr int kVolumeRange = 6000;
constexpr int kVolumePageStep = 1000;
// Period of the position tick.
constexpr int kTickMs = 500;

// Longest path kept, in bytes; a longer one is refused, never cut.
constexpr size_t kMaxPathBytes = 4095;

// The file dialog's filter list in the platform's "name|patterns|...||" form.
extern const char kOpenFilter[];
// Turns "name|p1;p2|..||" into Qt filters "name (p1 p2)"; "*.*" becomes "*".
QStringList ConvertFilterList(const char* filter);

// The whole command line (arguments joined by one blank), double quotes
// trimmed from both ends.
std::string PendingFileFromArguments(int argc, char** argv, int first);

QIcon PlayerIcon();

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CPlayerDlg : public QDialog {
    Q_OBJECT
  public:
    // Returns the chosen path, or nothing when the user cancels.
    using FileChooser = std::function<std::optional<std::string>(const QStringList& filters)>;

    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    // Runs once before the window is first shown: opens the pending file,
    // hides the editing controls, starts listening for open requests.
    void OnInitDialog();

    void SetPendingFile(std::string path) { m_strPendingFile = std::move(path); }
    const std::string& PendingFile() const { return m_strPendingFile; }
    const std::string& CurrentFile() const { return m_strCurrentFile; }
    const CoursewareInfo& Info() const { return m_info; }
    CGraphPlayer& Player() { return m_player; }

    void SetFileChooser(FileChooser chooser) { m_fileChooser = std::move(chooser); }

    QWidget* Control(int id) const;
    CLinkLabel* AuthorLink() const { return m_pAuthorLink; }
    CSeekPreview* SeekPreview() const { return m_pSeekPreview; }
    DialogBaseUnits BaseUnits() const { return m_baseUnits; }
    QString RequestServerName() const;

    // The open command (button 1010).
    void OnOpen();
    // An open request: returns TRUE when handled, FALSE when refused.
    bool OnCopyData(uint32_t dwData, const QByteArray& text);
    void ShowAbout();
    // Close clean-up; runs once whichever way the window closes.
    void CloseCleanup();
    bool CleanedUp() const { return m_bCleanedUp; }

    // Transport: the stop button, the position tick, and slider notifications.
    void OnStop();
    void OnTimer();
    void OnHScroll(QSlider* from, int code);
    // Chapters: the highlight of the chapter being played (position tick),
    // and the edit buttons.
    void UpdateChapterHighlight();
    void DropHighlightTable();
    bool HasHighlightTable() const { return m_highlight.has_value(); }
    void OnAddChapter();
    void OnModifyChapter();
    void OnDeleteChapter();
    void OnEditDone();

    // Full screen (full_screen.cpp): runs a command of the right-click menus
    // (entering or leaving full screen, the about box).
    void OnMenuCommand(int command);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void done(int result) override;
    bool event(QEvent* e) override;

  private:
    void CreateControls();
    void RelayoutControls(const QRect& client);
    void ShowEditControls(bool show);
    // With $KOVEL_CONTROL_GEOMETRY set (tests that drive the real program
    // through the window system), writes there one line per control:
    // "id x y width height" in the window's coordinates.
    void WriteControlGeometry() const;
    void ShowCoursewareInfo();
    void SetLabel(int id, const std::string& text);
    void ConnectChapterControls();
    void ReloadChapterList();
    void OnChapterChosen();
    // In edit mode, says in the window at once when the open lesson's
    // chapters could not be written back.
    void UpdateWriteBackNotice();

    std::string m_strPendingFile;
    QRect m_rcClient;
    CLinkLabel* m_pAuthorLink = nullptr;
    QIcon m_hIcon;
    CGraphPlayer m_player;
    std::string m_strCurrentFile;
    CoursewareInfo m_info;
    std::map<int, QWidget*> m_controls;
    DialogBaseUnits m_baseUnits;
    FileChooser m_fileChooser;
    std::unique_ptr<COpenRequestServer> m_pRequestServer;
    bool m_bCleanedUp = false;
    QTimer* m_pTick = nullptr;
    // A drag of the position thumb, and whether it paused playback.
    bool m_bDragging = false;
    bool m_bPausedForDrag = false;
    // Built by the first tick after the list was (re)loaded.
    std::optional<HighlightTable> m_highlight;
    // A press on the list changed its selection (the press chose already).
    bool m_bChosenByPress = false;
    QLabel* m_pWriteBackNotice = nullptr;
    CSeekPreview* m_pSeekPreview = nullptr;
};

}  // namespace kovel::player
