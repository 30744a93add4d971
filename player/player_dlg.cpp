#include "player_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QResizeEvent>
#include <QSaveFile>
#include <QShortcut>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "full_screen.h"
#include "gbk_text.h"
#include "graph_util.h"
#include "link_label.h"
#include "nested_loop.h"
#include "open_request.h"
#include "report_message.h"
#include "seek_preview.h"
#include "speed_control.h"
#include "transport.h"
#include "window_keys.h"

namespace kovel::player {

const char kOpenFilter[] = "zumaro(.zmr)|*.zmr|支持格式(*wma,*asf)|*.wma;*.asf;*.wmv|all Files|*.*||";

QStringList ConvertFilterList(const char* filter) {
    QStringList parts = QString::fromUtf8(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& p : patterns)
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");
        out << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return out;
}

std::string PendingFileFromArguments(int argc, char** argv, int first) {
    std::string line;
    for (int i = first; i < argc; ++i) {
        if (i > first)
            line += ' ';
        line += argv[i];
    }
    const size_t begin = line.find_first_not_of('"');
    if (begin == std::string::npos)
        return std::string();
    const size_t end = line.find_last_not_of('"');
    return line.substr(begin, end - begin + 1);
}

namespace {

// Where the speed drop-down stands, in dialog units: on the top edge of the
// chapter editing row's frame at its right end, in the band between the time
// labels (which end at 243) and the row's buttons (which begin at 252), its
// right edge inset from the frame's. The template leaves no other room next
// to the time at the window's least width, in edit mode.
constexpr int kSpeedMarginDu = 4;
constexpr int kSpeedTopDu = -1;  // from the frame's top (244)
constexpr int kSpeedHeightDu = 9;

// A slider with the trackbar's keys: PageUp steps toward the start, as a
// click before the thumb does, and PageDown toward the end.
class CTrackbar : public QSlider {
  public:
    explicit CTrackbar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            if (event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown) {
                triggerAction(event->key() == Qt::Key_PageUp ? SliderPageStepSub : SliderPageStepAdd);
                event->accept();
                return;
            }
        }
        QSlider::keyPressEvent(event);
    }
};

}  // namespace

QIcon PlayerIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(32, 96, 176));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 5.0, size / 5.0);
        QPainterPath play;
        play.moveTo(size * 0.36, size * 0.25);
        play.lineTo(size * 0.76, size * 0.5);
        play.lineTo(size * 0.36, size * 0.75);
        play.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(play);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    const DialogTemplate& tmpl = AboutDialogTemplate();
    setWindowTitle(QString::fromUtf8(tmpl.title));
    setFont(DialogFont(tmpl));
    const DialogBaseUnits units = BaseUnitsOf(font());
    for (const ControlSpec& c : tmpl.controls) {
        const QRect r = units.ToPixels(c.x, c.y, c.cx, c.cy);
        QWidget* w = nullptr;
        if (c.kind == ControlKind::PushButton) {
            auto* b = new QPushButton(QString::fromUtf8(c.text), this);
            b->setDefault(true);
            connect(b, &QPushButton::clicked, this, &QDialog::accept);
            w = b;
        } else if (c.kind == ControlKind::Icon) {
            auto* l = new QLabel(this);
            l->setPixmap(PlayerIcon().pixmap(32, 32));
            w = l;
            w->setGeometry(QRect(r.topLeft(), QSize(32, 32)));
            continue;
        } else {
            auto* l = new QLabel(QString::fromUtf8(c.text), this);
            l->setTextFormat(Qt::PlainText);
            w = l;
        }
        w->setObjectName(QStringLiteral("ctl%1").arg(c.id));
        w->setGeometry(r);
    }
    // Below the template's texts: the keys of the main window.
    constexpr int kRowHeight = 10, kKeysX = 11, kKeysWidth = 60, kActionX = 75;
    int y = tmpl.cy;
    for (const KeyHelp& row : KeyHelpRows()) {
        auto* keys = new QLabel(QString::fromUtf8(row.keys), this);
        keys->setObjectName(QStringLiteral("keys"));
        keys->setGeometry(units.ToPixels(kKeysX, y, kKeysWidth, kRowHeight));
        auto* action = new QLabel(QString::fromUtf8(row.action), this);
        action->setObjectName(QStringLiteral("keyAction"));
        action->setGeometry(units.ToPixels(kActionX, y, tmpl.cx - kActionX - kKeysX, kRowHeight));
        for (QLabel* l : {keys, action}) l->setTextFormat(Qt::PlainText);
        y += kRowHeight;
    }
    setFixedSize(units.ToPixels(0, 0, tmpl.cx, y + kKeysX).size());
}

CPlayerDlg::CPlayerDlg(QWidget* parent) : QDialog(parent), m_hIcon(PlayerIcon()) {
    const DialogTemplate& tmpl = MainDialogTemplate();
    setWindowTitle(QString::fromUtf8(tmpl.title));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    setFont(DialogFont(tmpl));
    m_baseUnits = BaseUnitsOf(font());
    setWindowIcon(m_hIcon);
    CreateControls();

    const QSize templateSize = m_baseUnits.ToPixels(0, 0, tmpl.cx, tmpl.cy).size();
    m_rcClient = QRect(QPoint(0, 0), templateSize);
    resize(templateSize);
    setMinimumSize(730, 530);

    m_player.SetOwner(this);
    setAcceptDrops(true);
    // Keys reach the window before the focused control (window_keys.cpp).
    qApp->installEventFilter(this);
    m_pResume = std::make_unique<CResumeStore>(DefaultResumeStorePath());
    m_pResumeNotice = new QTimer(this);
    m_pResumeNotice->setSingleShot(true);
    connect(m_pResumeNotice, &QTimer::timeout, this,
            [this] { SetLabel(IDC_POSITIONTEXT, m_player.PositionText(m_player.GetPositionSeconds())); });
    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, &CPlayerDlg::ShowAbout);
    m_fileChooser = [](const QStringList& filters) -> std::optional<std::string> {
        QFileDialog dialog(nullptr);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilters(filters);
        if (!filters.isEmpty())
            dialog.selectNameFilter(filters.first());
        CNestedLoopScope nested;
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
    };
}

CPlayerDlg::~CPlayerDlg() {
    CloseCleanup();
}

void CPlayerDlg::CreateControls() {
    std::vector<QWidget*> frames;
    QWidget* previousTab = nullptr;
    int staticIndex = 0;
    for (const ControlSpec& c : MainDialogTemplate().controls) {
        const QString text = QString::fromUtf8(c.text);
        QWidget* w = nullptr;
        switch (c.kind) {
            case ControlKind::GroupBox:
                w = new QGroupBox(text, this);
                break;
            case ControlKind::Trackbar: {
                auto* s = new CTrackbar(this);
                s->setTickPosition(QSlider::NoTicks);
                w = s;
                break;
            }
            case ControlKind::PushButton:
                w = new QPushButton(text, this);
                break;
            case ControlKind::ListBox:
                w = new QListWidget(this);
                // The style marks the focus only on a current entry; an empty
                // or unselected list would not show it has the focus.
                w->setStyleSheet(
                    QStringLiteral("QListWidget { border: 1px solid palette(mid); }"
                                   "QListWidget:focus { border: 1px solid palette(highlight); }"));
                break;
            case ControlKind::Edit:
                w = new QLineEdit(this);
                break;
            case ControlKind::Static:
            case ControlKind::Icon: {
                QLabel* l = nullptr;
                if (c.id == IDC_AUTHORLINK) {
                    m_pAuthorLink = new CLinkLabel(this);
                    l = m_pAuthorLink;
                } else {
                    l = new QLabel(this);
                }
                l->setTextFormat(Qt::PlainText);
                l->setText(text);
                w = l;
                break;
            }
        }
        w->setGeometry(m_baseUnits.ToPixels(c.x, c.y, c.cx, c.cy));
        w->setProperty("controlId", c.id);
        w->setObjectName(c.id == kStaticId ? QStringLiteral("static%1").arg(staticIndex++)
                                           : QStringLiteral("ctl%1").arg(c.id));
        if (c.tabStop) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previousTab)
                setTabOrder(previousTab, w);
            previousTab = w;
        } else {
            w->setFocusPolicy(Qt::NoFocus);
        }
        if (!c.visible)
            w->hide();
        if (const char* name = AccessibleName(c.id))
            w->setAccessibleName(QString::fromUtf8(name));
        if (c.kind == ControlKind::GroupBox) {
            // Frames are drawn, never clicked: a frame made after the
            // controls it surrounds must not take their input.
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
            frames.push_back(w);
        }
        if (c.id != kStaticId)
            m_controls[c.id] = w;
    }
    for (QWidget* frame : frames) frame->lower();
    // Added beside the template's controls, which keep their places: the
    // speed below the time.
    m_pSpeed = CreateSpeedButton(this);
    m_pSpeed->setProperty(kHiddenInFullScreen, true);
    if (previousTab)
        setTabOrder(previousTab, m_pSpeed);
    connect(m_pSpeed, &QToolButton::clicked, this, &CPlayerDlg::OnSpeedButton);
    PlaceSpeedButton();
    if (m_pAuthorLink)
        m_pAuthorLink->SetUrl(m_pAuthorLink->text());
    connect(static_cast<QPushButton*>(Control(IDC_OPEN)), &QPushButton::clicked, this, &CPlayerDlg::OnOpen);
    connect(static_cast<QPushButton*>(Control(IDC_PLAYPAUSE)), &QPushButton::clicked, this,
            [this] { m_player.PlayPause(); });
    connect(static_cast<QPushButton*>(Control(IDC_STOP)), &QPushButton::clicked, this, &CPlayerDlg::OnStop);
    for (int id : {IDC_POSITION, IDC_VOLUME}) {
        auto* slider = static_cast<QSlider*>(Control(id));
        connect(slider, &QAbstractSlider::actionTriggered, this, [this, slider](int action) {
            switch (action) {
                case QAbstractSlider::SliderPageStepSub:
                    OnHScroll(slider, TB_PAGEUP);
                    break;
                case QAbstractSlider::SliderPageStepAdd:
                    OnHScroll(slider, TB_PAGEDOWN);
                    break;
                case QAbstractSlider::SliderToMinimum:
                    OnHScroll(slider, TB_TOP);
                    break;
                case QAbstractSlider::SliderToMaximum:
                    OnHScroll(slider, TB_BOTTOM);
                    break;
                case QAbstractSlider::SliderMove:
                    if (slider->isSliderDown())
                        OnHScroll(slider, TB_THUMBTRACK);
                    break;
                default:
                    break;
            }
        });
        // A released thumb reports its position, then the end of the drag.
        connect(slider, &QAbstractSlider::sliderReleased, this, [this, slider] {
            OnHScroll(slider, TB_THUMBPOSITION);
            OnHScroll(slider, TB_ENDTRACK);
        });
    }
    // A page step on the volume slider changes the volume by 10 dB: the
    // thumb moves as far.
    static_cast<QSlider*>(Control(IDC_VOLUME))->setPageStep(kVolumePageStep);
    m_player.SetPositionSlider(static_cast<QSlider*>(Control(IDC_POSITION)));
    m_pSeekPreview = new CSeekPreview(static_cast<QSlider*>(Control(IDC_POSITION)), m_player);
    ConnectChapterControls();
}

QWidget* CPlayerDlg::Control(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QString CPlayerDlg::RequestServerName() const {
    return m_pRequestServer ? m_pRequestServer->FullServerName() : QString();
}

void CPlayerDlg::OnInitDialog() {
    m_player.SetOwner(this);
    if (!m_pRequestServer) {
        // A request that comes while a message box or another dialog is up
        // is handled (and answered) once it has closed.
        m_pRequestServer = std::make_unique<COpenRequestServer>(
            [this](uint32_t dwData, const QByteArray& text, COpenRequestServer::Answer answer) {
                RunOutsideNestedLoops(this,
                                      [this, dwData, text, answer] { answer(OnCopyData(dwData, text)); });
            });
        QString error;
        const QString name = OpenRequestServerName(&error);
        if (name.isEmpty() || !m_pRequestServer->Listen(name, &error)) {
            std::fprintf(stderr, "kovelplayer: open requests are not received: %s\n",
                         error.toLocal8Bit().constData());
            m_pRequestServer.reset();
        }
    }
    if (!m_strPendingFile.empty())
        OnOpen();
    if (!m_pTick) {
        m_pTick = new QTimer(this);
        connect(m_pTick, &QTimer::timeout, this, &CPlayerDlg::OnTimer);
        m_pTick->start(kTickMs);
    }
    ShowEditControls(false);
    // The window's keys work from the start: the first tab stop, a slider,
    // would keep the arrows and Home/End for itself. (The window keeps the
    // focus itself; the default button stays the one it was.)
    setFocus(Qt::OtherFocusReason);
    // The minimum size may already have grown the window past the template.
    RelayoutControls(rect());
    m_rcClient = rect();
    WriteControlGeometry();
}

void CPlayerDlg::ShowEditControls(bool show) {
    for (int id : kEditModeControls) Control(id)->setVisible(show);
}

void CPlayerDlg::OnOpen() {
    std::string path;
    if (!m_strPendingFile.empty()) {
        path = std::move(m_strPendingFile);
        m_strPendingFile.clear();
    } else {
        std::optional<std::string> chosen = m_fileChooser(ConvertFilterList(kOpenFilter));
        if (!chosen)
            return;
        path = std::move(*chosen);
    }
    if (path.size() > kMaxPathBytes) {
        ReportMessage("Path too long (%zu bytes, at most %zu): not opened", path.size(), kMaxPathBytes);
        return;
    }
    m_strCurrentFile = path;
    UpdateWriteBackNotice();

    // Opening closes the lesson that was open: keep where it stands first.
    SaveResumePosition(true);
    m_lessonKey.reset();
    if (FAILED(m_player.Open(m_strCurrentFile.c_str()))) {
        ReportMessage("%s", "Failed open");
        ShowGraphSpeed();
        return;
    }
    SetLabel(IDC_DURATIONTEXT, m_player.DurationText(m_player.GetDurationSeconds()));
    SetLabel(IDC_POSITIONTEXT, m_player.PositionText(m_player.GetPositionSeconds()));
    auto* volume = static_cast<QSlider*>(Control(IDC_VOLUME));
    volume->setRange(0, kVolumeRange);
    volume->setValue(kVolumeRange);
    m_bMuted = false;
    if (IBasicAudio* ba = m_player.BasicAudio())
        ba->put_Volume(0);
    ReloadChapterList();
    ShowCoursewareInfo();
    StartOpenedLesson();
}

void CPlayerDlg::SetStartOptions(const StartOptions& options) {
    m_startOptions = options;
    if (!options.resume)
        m_pResume.reset();
}

void CPlayerDlg::StartOpenedLesson() {
    // The command line's choices are for the first lesson only; every other
    // starts where it was left, at normal speed (a new graph plays at 1x).
    const std::optional<StartOptions> options = std::exchange(m_startOptions, std::nullopt);
    m_lessonKey = LessonKeyOf(m_strCurrentFile, m_player.ChapterOffsetKnown()
                                                    ? std::optional<uint64_t>(m_player.ChapterIndexOffset())
                                                    : std::nullopt);
    std::optional<double> target;
    bool resumed = false;
    if (options && options->start) {
        target = options->start;
    } else if (m_pResume && m_lessonKey) {
        target = m_pResume->Find(*m_lessonKey);
        resumed = target && WorthResuming(*target, m_player.GetDurationSeconds());
        if (!resumed)
            target.reset();
    }
    if (target)
        SeekFromWindow(*target - m_player.GetPositionSeconds());
    if (options && options->speed != kNormalSpeed)
        m_player.SetRate(options->speed);
    ShowGraphSpeed();
    m_dLastSaved = m_player.GetPositionSeconds();
    m_nTicksSinceSave = 0;
    if (resumed) {
        SetLabel(IDC_POSITIONTEXT, kResumedText);
        m_pResumeNotice->start(kResumeNoticeMs);
    }
}

bool CPlayerDlg::ResumeNoticeShown() const {
    return m_pResumeNotice->isActive();
}

void CPlayerDlg::SaveResumePosition(bool always) {
    if (!m_pResume || !m_lessonKey || m_player.State() == PlayState::Closed)
        return;
    const double position = m_player.GetPositionSeconds();
    if (!always && std::fabs(position - m_dLastSaved) < 0.5)
        return;
    m_pResume->Save(*m_lessonKey, position, m_player.GetDurationSeconds());
    m_dLastSaved = position;
}

void CPlayerDlg::SetPositionLabel(const std::string& text) {
    m_pResumeNotice->stop();
    SetLabel(IDC_POSITIONTEXT, text);
}

void CPlayerDlg::SetSpeed(double rate) {
    m_player.SetRate(rate);
    ShowGraphSpeed();
}

void CPlayerDlg::ShowGraphSpeed() {
    ShowSpeed(m_pSpeed, m_player.GetRate());
}

void CPlayerDlg::OnSpeedButton() {
    QMenu menu(this);
    AddSpeedChoices(&menu, m_player.GetRate());
    OnMenuCommand(ExecMenu(menu, m_pSpeed->mapToGlobal(QPoint(0, m_pSpeed->height()))));
}

void CPlayerDlg::PlaceSpeedButton() {
    const QRect frame = Control(IDC_EDITFRAME)->geometry();
    const QRect row = m_baseUnits.ToPixels(kSpeedMarginDu, kSpeedTopDu, 0, kSpeedHeightDu);
    m_pSpeed->setGeometry(frame.right() + 1 - row.x() - m_pSpeed->width(), frame.y() + row.y(),
                          m_pSpeed->width(), row.height());
}

void CPlayerDlg::ShowCoursewareInfo() {
    ReadCoursewareInfo(m_strCurrentFile, m_info);
    const QString maker = GbkToUnicode(m_info.makerName);
    const QString title = GbkToUnicode(m_info.title);
    static_cast<QLabel*>(Control(IDC_TITLE))->setText(title);
    // Long titles are cut by the label's fixed width; the tool tip shows them whole.
    Control(IDC_TITLE)->setToolTip(title);
    static_cast<QLabel*>(Control(IDC_MAKINGDATE))->setText(GbkToUnicode(m_info.makingDate));
    static_cast<QLabel*>(Control(IDC_MAKERNAME))->setText(maker);
    m_pAuthorLink->setText(maker);
    if (!m_info.makerAccount.empty()) {
        m_pAuthorLink->SetUrl(MakeAuthorAddress(GbkToUnicode(m_info.makerAccount)));
        m_pAuthorLink->show();
        Control(IDC_MAKERNAME)->hide();
    } else {
        m_pAuthorLink->hide();
        Control(IDC_MAKERNAME)->show();
    }
}

bool CPlayerDlg::OnCopyData(uint32_t dwData, const QByteArray& text) {
    // The text ends at its first zero byte.
    const qsizetype zero = text.indexOf('\0');
    const QByteArray path = zero < 0 ? text : text.left(zero);
    if (size_t(path.size()) > kMaxPathBytes) {
        ReportMessage("Path too long (%zu bytes, at most %zu): not opened", size_t(path.size()),
                      kMaxPathBytes);
        return false;
    }
    if (path.isEmpty()) {
        ShowEditControls(false);
        m_player.m_bEditMode = false;
        UpdateWriteBackNotice();
        return true;
    }
    if (dwData == 1) {
        ShowEditControls(true);
        m_player.m_bEditMode = true;
    }
    m_strPendingFile = path.toStdString();
    OnOpen();
    return true;
}

void CPlayerDlg::ShowAbout() {
    CAboutDlg about(this);
    CNestedLoopScope nested;
    about.exec();
}

void CPlayerDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (isMinimized())
        return;
    RelayoutControls(rect());
    m_rcClient = rect();
    WriteControlGeometry();
}

void CPlayerDlg::WriteControlGeometry() const {
    static const QByteArray path = qgetenv("KOVEL_CONTROL_GEOMETRY");
    if (path.isEmpty())
        return;
    QSaveFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::WriteOnly))
        return;
    for (const auto& [id, w] : m_controls) {
        const QRect r = w->geometry();
        file.write(QStringLiteral("%1 %2 %3 %4 %5\n")
                       .arg(id)
                       .arg(r.x())
                       .arg(r.y())
                       .arg(r.width())
                       .arg(r.height())
                       .toUtf8());
    }
    file.commit();
}

void CPlayerDlg::RelayoutControls(const QRect& client) {
    const int dx = client.right() - m_rcClient.right();
    const int dy = client.bottom() - m_rcClient.bottom();
    if (dx == 0 && dy == 0)
        return;
    QWidget* screen = Control(IDC_SCREENBOX);
    screen->resize(screen->width() + dx, screen->height() + dy);
    for (int id : {IDC_POSITION, IDC_TRANSPORTFRAME, IDC_EDITFRAME}) {
        QWidget* w = Control(id);
        w->setGeometry(w->x(), w->y() + dy, w->width() + dx, w->height());
    }
    for (int id : {IDC_PLAYPAUSE, IDC_OPEN, IDC_STOP, IDC_VOLUME, IDC_POSITIONTEXT, IDC_DURATIONTEXT,
                   IDC_ADDCHAPTER, IDC_MODIFYCHAPTER, IDC_DELETECHAPTER, IDC_EDITDONE, IDC_CHAPTERTITLE}) {
        QWidget* w = Control(id);
        w->move(w->x(), w->y() + dy);
    }
    PlaceSpeedButton();
    // In full screen the picture covers the dialog, not the (hidden) box.
    if (!m_player.m_bFullScreen) {
        QWidget* box = Control(IDC_SCREENBOX);
        const VideoRect screenRect{0, 0, box->width(), box->height()};
        CUtil::SetVideoWindowPos(m_player.ScreenWindow(), m_player.ScreenVideo(), &screenRect);
    }
    update();
}

void CPlayerDlg::CloseCleanup() {
    if (m_bCleanedUp)
        return;
    m_bCleanedUp = true;
    if (m_pTick)
        m_pTick->stop();
    SaveResumePosition(true);
    m_pSeekPreview->Release();
    m_player.CloseGraph();
    DropHighlightTable();
    m_player.RemoveTempDocument();
    m_pRequestServer.reset();
}

void CPlayerDlg::SetLabel(int id, const std::string& text) {
    static_cast<QLabel*>(Control(id))->setText(QString::fromStdString(text));
}

void CPlayerDlg::OnStop() {
    m_player.StopAndRewind();
    SetLabel(IDC_DURATIONTEXT, m_player.DurationText(m_player.GetDurationSeconds()));
    SetPositionLabel(m_player.PositionText(m_player.GetPositionSeconds()));
    UpdateChapterHighlight();
}

void CPlayerDlg::OnTimer() {
    // The next tick catches up once the box or menu has closed.
    if (InNestedLoop())
        return;
    if (m_player.State() == PlayState::Running) {
        const std::string position = m_player.PositionText(m_player.GetPositionSeconds());
        // The resume notice stands for its while; the slider moves on.
        if (!ResumeNoticeShown())
            SetLabel(IDC_POSITIONTEXT, position);
        if (m_player.TakeCompleted())
            ReloadChapterList();
        UpdateChapterHighlight();
    }
    if (++m_nTicksSinceSave >= kResumeSaveTicks) {
        m_nTicksSinceSave = 0;
        SaveResumePosition(false);
    }
}

void CPlayerDlg::OnHScroll(QSlider* from, int code) {
    auto* volumeSlider = static_cast<QSlider*>(Control(IDC_VOLUME));
    auto* positionSlider = static_cast<QSlider*>(Control(IDC_POSITION));
    const int p = volumeSlider->sliderPosition();
    const double t = double(unsigned(positionSlider->sliderPosition())) * m_player.Scale();
    // The volume slider only acts on a running graph; otherwise it is ignored
    // rather than moving the lesson's position.
    if (from == volumeSlider) {
        IBasicAudio* ba = m_player.BasicAudio();
        if (m_player.State() != PlayState::Running || !ba)
            return;
        LONG v = 0;
        if (FAILED(ba->get_Volume(&v)))
            v = 0;
        // Muted, the thumb stands at the bottom: steps go from there.
        if (m_bMuted && (code == TB_PAGEUP || code == TB_PAGEDOWN || code == TB_THUMBPOSITION)) {
            m_bMuted = false;
            v = -kVolumeRange;
        }
        switch (code) {
            case TB_PAGEUP:
                ba->put_Volume(v - 1000);
                break;
            case TB_PAGEDOWN:
                ba->put_Volume(v + 1000);
                break;
            case TB_THUMBPOSITION:
                ba->put_Volume(p - kVolumeRange);
                break;
            default:
                break;
        }
        return;
    }
    switch (code) {
        case TB_PAGEUP:
            m_player.SeekBy(-10);
            SetPositionLabel(m_player.PositionText(m_player.GetPositionSeconds()));
            break;
        case TB_PAGEDOWN:
        case TB_THUMBPOSITION:
            m_player.SeekBy(t - m_player.GetPositionSeconds());
            SetPositionLabel(m_player.PositionText(m_player.GetPositionSeconds()));
            break;
        case TB_THUMBTRACK:
            if (!m_bDragging) {
                m_bDragging = true;
                if (m_player.State() == PlayState::Running) {
                    m_player.PlayPause();
                    m_bPausedForDrag = true;
                }
            }
            break;
        case TB_TOP:
            m_player.SeekBy(-m_player.GetPositionSeconds());
            break;
        case TB_BOTTOM:
            m_player.SeekBy(m_player.GetDurationSeconds() - m_player.GetPositionSeconds());
            break;
        case TB_ENDTRACK:
            m_bDragging = false;
            if (m_bPausedForDrag) {
                m_player.PlayPause();
                m_bPausedForDrag = false;
            }
            break;
        default:
            break;
    }
    // The highlight follows every move, not only the running tick.
    if (code == TB_PAGEUP || code == TB_PAGEDOWN || code == TB_THUMBPOSITION || code == TB_TOP ||
        code == TB_BOTTOM)
        UpdateChapterHighlight();
}

namespace {

// The first local file among the dropped items.
std::optional<std::string> DroppedFile(const QMimeData* mime) {
    if (!mime || !mime->hasUrls())
        return std::nullopt;
    for (const QUrl& url : mime->urls()) {
        const QString file = url.isLocalFile() ? url.toLocalFile() : QString();
        if (!file.isEmpty() && QFileInfo(file).isFile())
            return QFile::encodeName(file).toStdString();
    }
    return std::nullopt;
}

// Opening takes a copy (or a link): a drop taken as a move would have the
// program the file came from delete it.
bool TakeAsCopy(QDropEvent* event) {
    for (Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
        if (event->possibleActions() & action) {
            event->setDropAction(action);
            event->accept();
            return true;
        }
    }
    return false;
}

}  // namespace

void CPlayerDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (DroppedFile(event->mimeData()))
        TakeAsCopy(event);
}

void CPlayerDlg::dragMoveEvent(QDragMoveEvent* event) {
    if (DroppedFile(event->mimeData()))
        TakeAsCopy(event);
}

void CPlayerDlg::dropEvent(QDropEvent* event) {
    const std::optional<std::string> file = DroppedFile(event->mimeData());
    if (!file || !TakeAsCopy(event))
        return;
    // Opened once the drop is over: the program the file came from waits
    // for the drop to end, and opening may show a message box.
    QTimer::singleShot(0, this, [this, path = *file] {
        RunOutsideNestedLoops(this, [this, path] {
            m_strPendingFile = path;
            OnOpen();
        });
    });
}

bool CPlayerDlg::event(QEvent* e) {
    if (e->type() == QEvent::Type(QEvent::User + WM_GRAPHNOTIFY)) {
        // Events wait in the graph's queue while a box is up.
        // A failed graph is closed there: the speed shown follows.
        RunOutsideNestedLoops(this, [this] {
            m_player.HandleGraphEvents();
            ShowGraphSpeed();
        });
        return true;
    }
    return QDialog::event(e);
}

void CPlayerDlg::closeEvent(QCloseEvent* event) {
    CloseCleanup();
    QDialog::closeEvent(event);
}

void CPlayerDlg::done(int result) {
    // Escape and Enter end the dialog through here: clean up as a close does.
    CloseCleanup();
    QDialog::done(result);
}

}  // namespace kovel::player
