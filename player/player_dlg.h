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
#include "resume_store.h"
#include "window_keys.h"

class QLabel;
class QSlider;
class QToolButton;
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
// The volume of silence (hundredths of a decibel): what mute sets.
constexpr LONG kSilence = -10000;
// Period of the position tick.
constexpr int kTickMs = 500;
// While a lesson is open, where it stands is kept this often (a kill loses
// no more), as well as on close and on opening another.
constexpr int kResumeSaveTicks = 10;
// What the position label says, and for how long, when a lesson resumed
// where it was left (the slider shows where).
inline constexpr char kResumedText[] = "已续播";
constexpr int kResumeNoticeMs = 3000;

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
    // How the first lesson the window opens starts (from the command line).
    struct StartOptions {
        double speed = 1.0;
        std::optional<double> start;  // seconds; instead of where the lesson was left
        bool resume = true;           // false: lessons neither resume nor are remembered
    };
    void SetStartOptions(const StartOptions& options);
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
    QToolButton* SpeedButton() const { return m_pSpeed; }
    bool ResumeNoticeShown() const;

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
    // Asks the graph for `rate`; the drop-down shows the rate the graph then
    // reports (a refused rate leaves the one in force).
    void SetSpeed(double rate);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void done(int result) override;
    bool event(QEvent* e) override;
    // The window's keys (window_keys.cpp).
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A lesson file dropped on the window opens as one chosen in the file dialog.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

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
    // Keys (window_keys.cpp).
    bool HandleWindowKey(QKeyEvent* event);
    void RunKeyCommand(KeyCommand command);
    // Moves playback, the slider, the label and the chapter highlight.
    void SeekFromWindow(double delta);
    void JumpToChapter(bool next);
    void StepVolume(int delta);
    void ToggleMute();
    // Sets the position label; ends the resume notice.
    void SetPositionLabel(const std::string& text);
    // Speed drop-down.
    void PlaceSpeedButton();
    void OnSpeedButton();
    void ShowGraphSpeed();
    // Resume: the start of a lesson just opened, and keeping where it stands.
    void StartOpenedLesson();
    void SaveResumePosition(bool always);

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
    QToolButton* m_pSpeed = nullptr;
    // Mute keeps the slider's position to come back to.
    bool m_bMuted = false;
    int m_nVolumeBeforeMute = kVolumeRange;
    // Taken by the first lesson opened.
    std::optional<StartOptions> m_startOptions;
    std::unique_ptr<CResumeStore> m_pResume;
    // The open lesson as the resume store knows it; none when it cannot be read.
    std::optional<LessonKey> m_lessonKey;
    double m_dLastSaved = -1;
    int m_nTicksSinceSave = 0;
    QTimer* m_pResumeNotice = nullptr;
};

}  // namespace kovel::player
