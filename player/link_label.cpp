#include "link_label.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMouseEvent>

#include "nested_loop.h"

namespace kovel::player {

const QColor CLinkLabel::kLinkColor(0, 0, 238);
const QColor CLinkLabel::kVisitedColor(85, 26, 139);
const QColor CLinkLabel::kHoverColor(255, 0, 0);

QString MakeAuthorAddress(const QString& account) {
    return QString::fromLatin1(kMemberPageBase) + QString::fromLatin1(QUrl::toPercentEncoding(account));
}

namespace {
bool OpenWithDesktop(const QUrl& url, QString* reason) {
    if (QDesktopServices::openUrl(url))
        return true;
    if (reason)
        *reason = QStringLiteral("There is no application associated\nwith the given filename extension.");
    return false;
}
}  // namespace

CLinkLabel::CLinkLabel(QWidget* parent) : QLabel(parent), m_opener(OpenWithDesktop) {
    setTextFormat(Qt::PlainText);
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
    m_normalFont = font();
    m_underlineFont = m_normalFont;
    m_underlineFont.setUnderline(true);
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &CLinkLabel::CheckHover);
    m_cursorPos = [] { return QCursor::pos(); };
    ApplyLook();
}

void CLinkLabel::SetUrl(const QString& address) {
    m_strUrl = address;
    setToolTip(address);
    AutoSize();
}

QColor CLinkLabel::CurrentColor() const {
    if (m_bHover)
        return kHoverColor;
    return m_bVisited ? kVisitedColor : kLinkColor;
}

void CLinkLabel::ApplyLook() {
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, CurrentColor());
    setPalette(pal);
    setFont((m_bHover && m_nUnderline == -1) || m_nUnderline == 1 ? m_underlineFont : m_normalFont);
    update();
}

void CLinkLabel::AutoSize() {
    if (!m_bAutoSize)
        return;
    QFontMetrics fm(m_underlineFont);
    const int frame = 2 * frameWidth();
    resize(fm.horizontalAdvance(text()) + frame + 1, std::max(height(), fm.height() + frame));
}

void CLinkLabel::mouseMoveEvent(QMouseEvent* event) {
    if (!m_bHover) {
        m_bHover = true;
        ApplyLook();
        m_timer.start();
    }
    QLabel::mouseMoveEvent(event);
}

void CLinkLabel::CheckHover() {
    if (rect().contains(mapFromGlobal(m_cursorPos())))
        return;
    m_bHover = false;
    m_timer.stop();
    ApplyLook();
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Follow();
    QLabel::mouseReleaseEvent(event);
}

void CLinkLabel::Follow() {
    m_bHover = false;
    m_timer.stop();
    const QUrl url(m_strUrl, QUrl::StrictMode);
    QString reason;
    bool ok = false;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty()) {
        reason = QStringLiteral("The address is not a web address\n(only http and https are opened).");
    } else {
        ok = m_opener(url, &reason);
    }
    m_bVisited = ok;
    ApplyLook();
    if (ok)
        return;
    const QString message = QStringLiteral("Unable to open hyperlink:\n\n") + reason;
    if (m_failureSink) {
        m_failureSink(message);
        return;
    }
    QApplication::beep();
    QMessageBox box(QMessageBox::Warning, QString(), message, QMessageBox::Ok, this);
    CNestedLoopScope nested;
    box.exec();
}

}  // namespace kovel::player
