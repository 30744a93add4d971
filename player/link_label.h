// The author link: a label that shows the lesson maker's name as a web link
// and opens the maker's page in the browser when clicked.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QTimer>
#include <QUrl>
#include <functional>

namespace kovel::player {

// Base of the maker's member page; the maker account follows it directly.
inline constexpr char kMemberPageBase[] = "https://www.kovel.example/member/";

// The member-page address for a maker account (UTF-8), the account
// percent-encoded so that it cannot add path parts, queries or schemes.
QString MakeAuthorAddress(const QString& account);

class CLinkLabel : public QLabel {
    Q_OBJECT
  public:
    // Opens an address; on failure returns false and sets the reason.
    using Opener = std::function<bool(const QUrl& url, QString* reason)>;
    using FailureSink = std::function<void(const QString& message)>;

    explicit CLinkLabel(QWidget* parent = nullptr);

    void SetUrl(const QString& address);
    QString Url() const { return m_strUrl; }

    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    void SetFailureSink(FailureSink sink) { m_failureSink = std::move(sink); }
    void SetCursorSource(std::function<QPoint()> source) { m_cursorPos = std::move(source); }

    bool IsHovering() const { return m_bHover; }
    bool IsVisited() const { return m_bVisited; }
    QColor CurrentColor() const;

    // Opens the address as a click does.
    void Follow();

    static const QColor kLinkColor;
    static const QColor kVisitedColor;
    static const QColor kHoverColor;

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void CheckHover();
    void ApplyLook();
    void AutoSize();

    QString m_strUrl;
    QFont m_normalFont;
    QFont m_underlineFont;
    bool m_bHover = false;
    bool m_bVisited = false;
    int m_nUnderline = -1;  // -1: underline only while hovering
    bool m_bAutoSize = true;
    QTimer m_timer;
    Opener m_opener;
    FailureSink m_failureSink;
    std::function<QPoint()> m_cursorPos;
};

}  // namespace kovel::player
