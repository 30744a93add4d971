// The dialog's playback object: opens a lesson (or any media file the
// runtime renders), builds and runs its graph, docks the video windows into
// the dialog's boxes, and drives transport, position and volume.
#pragma once

#include <QtCore/qnamespace.h>
#include <QRect>
#include <QSize>
#include <cstdint>
#include <string>
#include <vector>

#include "kovel/control.h"
#include "kovel/streaming.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QObject;
class QSlider;
class QWidget;

namespace kovel::player {

enum class PlayState : int32_t { Stopped = 0, Paused = 1, Running = 2, Closed = 3 };

// Graph notifications arrive as posted events of type QEvent::User + this.
constexpr LONG WM_GRAPHNOTIFY = 0x401;
// WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN.
constexpr LONG kVideoWindowStyle = 0x46000000;

// True when ".zmr" occurs anywhere in the lower-cased path.
bool IsCoursewareName(const std::string& path);

class CGraphPlayer {
  public:
    // Initialises the component runtime for this thread; ends the process
    // with exit code 1 when that fails.
    CGraphPlayer();
    ~CGraphPlayer();
    CGraphPlayer(const CGraphPlayer&) = delete;
    CGraphPlayer& operator=(const CGraphPlayer&) = delete;

    // The window that hosts the video windows (controls 1006 and 1007) and,
    // unless SetNotifyTarget names another, receives graph notifications.
    void SetOwner(QWidget* owner) { m_hWnd = owner; }
    QWidget* Owner() const { return m_hWnd; }
    void SetNotifyTarget(QObject* target) { m_pNotifyTarget = target; }
    void SetPositionSlider(QSlider* slider) { m_pSlider = slider; }

    PlayState State() const { return m_state; }

    // 1 for a null path, E_FAIL when the chapter document cannot be taken out
    // of a lesson, else the result of BuildGraph (the graph runs on success).
    HRESULT Open(const char* path);
    HRESULT BuildGraph(const char* path);
    // Stops and releases everything; leaves the state Closed.
    HRESULT CloseGraph();
    void DetectAudioOnly();

    // Transport, position and volume.
    HRESULT PlayPause();
    HRESULT StopAndRewind();
    double GetDurationSeconds();
    double GetPositionSeconds();
    bool SeekTo(double seconds, bool flush);
    void SeekBy(double delta);
    std::string DurationText(double duration);
    std::string PositionText(double position);
    // Playback speed: the graph's rate. Without a graph SetRate fails and
    // GetRate answers the normal speed; a rate the graph refuses leaves the
    // one in force. A new graph plays at the normal speed.
    HRESULT SetRate(double rate);
    double GetRate();
    HRESULT HandleGraphEvents();
    // Consumed by the position tick.
    bool TakeCompleted();

    IBasicAudio* BasicAudio() const { return m_pBA; }
    IVideoWindow* ScreenWindow() const { return m_pCVW; }
    IBasicVideo* ScreenVideo() const { return m_pCBV; }
    IVideoWindow* CameraWindow() const { return m_pVW; }
    bool AudioOnly() const { return m_bAudioOnly; }
    double Scale() const { return m_dScale; }
    const std::string& File() const { return m_szFile; }
    const std::string& TempDocument() const { return m_szTempDoc; }
    // Chapter index offset of the open lesson; known only when its first
    // header child is the file properties object.
    bool ChapterOffsetKnown() const { return m_bChapterOffsetKnown; }
    uint64_t ChapterIndexOffset() const { return m_nChapterIndexOffset; }
    // Chapters. The list box mirrors this player's working copy of the
    // chapter document; edits change only the copy until the write-back puts
    // it into the lesson. A failing step ends the operation with a carried
    // text (LastChapterMessage) that is not shown: XML trouble never reaches
    // the user. Only the write-back reports to the user.
    HRESULT LoadChapterList(QListWidget* list);
    // Seeks to the chosen entry's chapter and pauses; fills the title entry.
    HRESULT SelectChapter(QListWidget* list, QLineEdit* titleEntry, QLabel* positionLabel);
    HRESULT AddChapter(QListWidget* list, QLineEdit* titleEntry);
    HRESULT ModifyChapter(QListWidget* list, QLineEdit* titleEntry);
    HRESULT DeleteChapter(QListWidget* list);
    // Closes the graph, then replaces the lesson's chapter document with the
    // working copy. S_OK only after a complete write-back.
    HRESULT WriteBackChapterDocument();
    // Chapter times in slider units, in list order, as last loaded.
    const std::vector<int32_t>& ChapterTimes() const { return m_chapterTimes; }
    int32_t CurrentChapter() const { return m_nCurrentChapter; }
    int32_t LastChapterId() const { return m_nLastChapterId; }
    const std::string& LastChapterMessage() const { return m_strChapterMessage; }

    // Deletes this player's temporary chapter document.
    void RemoveTempDocument();

    // Full screen (full_screen.cpp): the screen recording stretched over the
    // primary screen in the frameless dialog, and back into the screen box.
    // E_FAIL without a screen recording or when already in that layout.
    HRESULT EnterFullScreen();
    HRESULT LeaveFullScreen();

    // Chapter editing is allowed (switched by open requests).
    bool m_bEditMode = false;
    bool m_bFullScreen = false;

  private:
    HRESULT Fail(HRESULT hr, const char* what);
    HRESULT DockVideo(IVideoWindow* vw, IBasicVideo* bv, int boxId, const char* ownerMsg,
                      const char* styleMsg, const char* posMsg);

    bool m_bCompleted = false;
    std::string m_szFile;
    std::string m_szTempDoc;
    PlayState m_state = PlayState::Closed;
    QSlider* m_pSlider = nullptr;
    IGraphBuilder* m_pGB = nullptr;
    IMediaControl* m_pMC = nullptr;
    IMediaEventEx* m_pME = nullptr;
    IVideoWindow* m_pVW = nullptr;
    IVideoWindow* m_pCVW = nullptr;
    IBasicAudio* m_pBA = nullptr;
    IBasicVideo* m_pBV = nullptr;
    IBasicVideo* m_pCBV = nullptr;
    IMediaSeeking* m_pMS = nullptr;
    IBaseFilter* m_pReader = nullptr;
    IFileSourceFilter* m_pFileSource = nullptr;
    QWidget* m_hWnd = nullptr;
    QObject* m_pNotifyTarget = nullptr;
    bool m_bAudioOnly = true;
    double m_dScale = 1.0;
    bool m_bChapterOffsetKnown = false;
    uint64_t m_nChapterIndexOffset = 0;
    // The lesson's chapter document as this player last read or wrote it.
    std::string m_strStoredChapters;
    bool m_bComInitialised = false;
    // Chapter state.
    HRESULT ChapterFailure(const char* message, HRESULT hr = E_FAIL);
    bool ChaptersEditable();
    std::vector<int32_t> m_chapterTimes;
    int32_t m_nCurrentChapter = -1;
    int32_t m_nLastChapterId = 0;
    std::string m_strChapterMessage;

    // Full screen: puts the screen recording over the whole dialog; the
    // dialog's placement, flags and least size from before full screen.
    HRESULT StretchScreenWindow();
    void RestoreWindowedLayout();
    QRect m_rcWindowed;
    Qt::WindowFlags m_windowedFlags;
    QSize m_windowedMinSize;
};

}  // namespace kovel::player
