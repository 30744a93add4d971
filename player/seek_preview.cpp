#include "seek_preview.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSlider>
#include <QStyle>
#include <algorithm>

#include "graph_player.h"
#include "preview_decoder.h"
#include "slider_option.h"
#include "transport.h"

namespace kovel::player {

namespace {

constexpr int kBorder = 2;
// Pictures kept per lesson (each about 80 KB).
constexpr size_t kCachedPictures = 120;

}  // namespace

CPreviewPopup::CPreviewPopup(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("seekPreview"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int text = fontMetrics().height();
    resize(CSeekPreview::kPictureWidth + 2 * kBorder, CSeekPreview::kPictureHeight + 2 * kBorder + text + 2);
    hide();
}

void CPreviewPopup::ShowFor(int value, const QString& time, QPoint anchor) {
    m_nValue = value;
    m_strTime = time;
    const QWidget* host = parentWidget();
    const int x = std::clamp(anchor.x() - width() / 2, 0, std::max(0, host->width() - width()));
    move(x, std::max(0, anchor.y() - height() - 4));
    raise();
    show();
    update();
}

void CPreviewPopup::SetPicture(int value, const QImage& picture) {
    m_nPictureValue = value;
    m_picture = picture;
    update();
}

void CPreviewPopup::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::ToolTipBase));
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    const QRect box(kBorder, kBorder, CSeekPreview::kPictureWidth, CSeekPreview::kPictureHeight);
    p.fillRect(box, Qt::black);
    if (!m_picture.isNull()) {
        QRect at(QPoint(), m_picture.size());
        at.moveCenter(box.center());
        p.drawImage(at.topLeft(), m_picture);
    }
    p.setPen(palette().color(QPalette::ToolTipText));
    p.drawText(QRect(0, box.bottom() + 1, width(), height() - box.bottom() - 1), Qt::AlignCenter, m_strTime);
}

CSeekPreview::CSeekPreview(QSlider* slider, CGraphPlayer& player)
    : QObject(slider), m_pSlider(slider), m_player(player), m_pPopup(new CPreviewPopup(slider->window())) {
    // Moves without a button come only with tracking on; the slider itself
    // ignores them.
    slider->setMouseTracking(true);
    slider->installEventFilter(this);
    // A dragged thumb: the picture of where the release will seek to.
    connect(slider, &QSlider::sliderMoved, this, [this](int value) { ShowAt(value, ThumbCentreX()); });
}

// Out of line, where the decoder is a complete type.
CSeekPreview::~CSeekPreview() = default;

void CSeekPreview::Release() {
    Forget();
    if (m_pDecoder)
        m_pDecoder->LetGo(m_nLesson);
}

void CSeekPreview::Forget() {
    Hide();
    if (m_pDecoder && !m_strLesson.empty())
        m_pDecoder->SetLesson({}, ++m_nLesson);
    m_strLesson.clear();
    m_cache.clear();
    m_order.clear();
    m_nAsked = -1;
}

bool CSeekPreview::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pSlider) {
        switch (event->type()) {
            case QEvent::MouseMove: {
                auto* move = static_cast<QMouseEvent*>(event);
                // A drag is followed through the thumb (sliderMoved).
                if (!m_pSlider->isSliderDown())
                    ShowAt(ValueAtX(int(move->position().x())), int(move->position().x()));
                break;
            }
            case QEvent::Enter:
                // The preview's reader gets ready while the pointer moves.
                TakeLesson();
                break;
            case QEvent::Leave:
            case QEvent::Hide:
                if (!m_pSlider->isSliderDown())
                    Hide();
                break;
            case QEvent::MouseButtonRelease: {
                auto* release = static_cast<QMouseEvent*>(event);
                if (!m_pSlider->rect().contains(release->position().toPoint()))
                    Hide();
                break;
            }
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

std::string CSeekPreview::PreviewableLesson() const {
    if (m_player.State() == PlayState::Closed || !m_player.ScreenWindow() ||
        !IsCoursewareName(m_player.File()))
        return {};
    return m_player.File();
}

int CSeekPreview::ValueAtX(int x) const {
    const QStyleOptionSlider opt = SliderOption(m_pSlider);
    const QStyle* style = m_pSlider->style();
    const QRect groove = style->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, m_pSlider);
    const QRect handle = style->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, m_pSlider);
    // As the slider itself maps a click: the handle's centre under the pointer.
    return QStyle::sliderValueFromPosition(opt.minimum, opt.maximum, x - handle.width() / 2 - groove.x(),
                                           groove.width() - handle.width(), opt.upsideDown);
}

int CSeekPreview::ThumbCentreX() const {
    const QStyleOptionSlider opt = SliderOption(m_pSlider);
    return m_pSlider->style()
        ->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, m_pSlider)
        .center()
        .x();
}

bool CSeekPreview::TakeLesson() {
    const std::string lesson = PreviewableLesson();
    if (lesson.empty()) {
        Forget();
        return false;
    }
    if (lesson == m_strLesson)
        return true;
    if (!m_pDecoder)
        m_pDecoder = std::make_unique<CPreviewDecoder>(
            QSize(kPictureWidth, kPictureHeight), [this](uint64_t id, int key, QImage picture) {
                QMetaObject::invokeMethod(
                    this, [this, id, key, picture] { PictureArrived(id, key, picture); },
                    Qt::QueuedConnection);
            });
    m_strLesson = lesson;
    m_cache.clear();
    m_order.clear();
    m_nAsked = -1;
    m_pDecoder->SetLesson(lesson, ++m_nLesson);
    m_dDuration = m_player.GetDurationSeconds();
    return true;
}

void CSeekPreview::ShowAt(int value, int x) {
    if (!TakeLesson()) {
        Hide();
        return;
    }
    const double seconds = value * m_player.Scale();
    QString time = QString::fromStdString(FormatClock(seconds)).trimmed();
    const QPoint anchor = m_pSlider->mapTo(m_pPopup->parentWidget(), QPoint(x, 0));
    m_pPopup->ShowFor(value, time, anchor);
    auto cached = m_cache.find(value);
    if (cached != m_cache.end()) {
        m_pPopup->SetPicture(value, cached->second);
        return;
    }
    if (m_nAsked == value)
        return;
    m_nAsked = value;
    // The end itself has no picture after it: the last second's stands for it.
    m_pDecoder->Want(value, std::clamp(seconds, 0.0, std::max(0.0, m_dDuration - 1.0)));
}

void CSeekPreview::Hide() {
    m_pPopup->hide();
}

void CSeekPreview::PictureArrived(uint64_t lesson, int value, const QImage& picture) {
    if (lesson != m_nLesson)
        return;
    if (m_nAsked == value)
        m_nAsked = -1;
    // A picture that could not be made is not kept: the next visit asks again.
    if (!picture.isNull() && m_cache.emplace(value, picture).second) {
        m_order.push_back(value);
        if (m_order.size() > kCachedPictures) {
            m_cache.erase(m_order.front());
            m_order.pop_front();
        }
    }
    // A picture for where the pointer was is left out; the decoder has the
    // wish for where it is now.
    if (m_pPopup->isVisible() && m_pPopup->Value() == value)
        m_pPopup->SetPicture(value, picture);
}

}  // namespace kovel::player
