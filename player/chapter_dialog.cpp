// The main window's chapter group: the list (choosing and the highlight of
// the chapter being played) and the edit buttons.
#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "chapter_document.h"
#include "player_dlg.h"
#include "report_message.h"
#include "seek_preview.h"

namespace kovel::player {
namespace {

// Calls back at the start of every mouse press on the watched widget.
class CPressWatch : public QObject {
  public:
    CPressWatch(QObject* parent, std::function<void()> onPress)
        : QObject(parent), m_onPress(std::move(onPress)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress)
            m_onPress();
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> m_onPress;
};

// Draws each chapter's start right-aligned beside its title, which is cut
// short rather than run under the time. The entry's text stays the title.
class CChapterStartDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // No wider than the list shows: a long title must not push the start
    // out of sight (behind a scroll bar).
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (const auto* view = qobject_cast<const QAbstractItemView*>(option.widget))
            size.setWidth(std::min(size.width(), view->viewport()->width()));
        return size;
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QVariant start = index.data(kChapterStartRole);
        if (!start.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QString title = opt.text;
        const QString time = ChapterStartText(start.toDouble());
        // The style draws the entry (background, selection, focus) without text.
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QRect text =
            style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget).adjusted(margin, 0, -margin, 0);
        const int gap = opt.fontMetrics.averageCharWidth();
        const QRect titleRect = text.adjusted(0, 0, -(opt.fontMetrics.horizontalAdvance(time) + gap), 0);
        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active) ? QPalette::Active
                                                                                : QPalette::Inactive;
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(opt.palette.color(
            group, opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(text, Qt::AlignRight | Qt::AlignVCenter, time);
        painter->drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter,
                          opt.fontMetrics.elidedText(title, Qt::ElideRight, titleRect.width()));
        painter->restore();
    }
};

}  // namespace

void CPlayerDlg::ConnectChapterControls() {
    auto* list = static_cast<QListWidget*>(Control(IDC_CHAPTERS));
    list->setItemDelegate(new CChapterStartDelegate(list));
    // Entries are as wide as the list shows: laid out again when that changes.
    list->setResizeMode(QListView::Adjust);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    // Only the user chooses a chapter: the highlight, reloads and edits
    // change the selection with the list's signals blocked.
    connect(list, &QListWidget::itemSelectionChanged, this, [this, list] {
        if (list->selectedItems().isEmpty())
            return;
        m_bChosenByPress = true;
        OnChapterChosen();
    });
    // Pressing the entry that is already selected (often the highlight put
    // it there) chooses it as well.
    list->viewport()->installEventFilter(new CPressWatch(list, [this] { m_bChosenByPress = false; }));
    connect(list, &QListWidget::itemPressed, this, [this](QListWidgetItem*) {
        if (!m_bChosenByPress)
            OnChapterChosen();
        m_bChosenByPress = true;
    });
    connect(static_cast<QPushButton*>(Control(IDC_ADDCHAPTER)), &QPushButton::clicked, this,
            &CPlayerDlg::OnAddChapter);
    connect(static_cast<QPushButton*>(Control(IDC_MODIFYCHAPTER)), &QPushButton::clicked, this,
            &CPlayerDlg::OnModifyChapter);
    connect(static_cast<QPushButton*>(Control(IDC_DELETECHAPTER)), &QPushButton::clicked, this,
            &CPlayerDlg::OnDeleteChapter);
    connect(static_cast<QPushButton*>(Control(IDC_EDITDONE)), &QPushButton::clicked, this,
            &CPlayerDlg::OnEditDone);
}

void CPlayerDlg::OnChapterChosen() {
    // The position label shows the chapter's start, not the resume notice.
    m_pResumeNotice->stop();
    m_player.SelectChapter(static_cast<QListWidget*>(Control(IDC_CHAPTERS)),
                           static_cast<QLineEdit*>(Control(IDC_CHAPTERTITLE)),
                           static_cast<QLabel*>(Control(IDC_POSITIONTEXT)));
}

void CPlayerDlg::ReloadChapterList() {
    DropHighlightTable();
    auto* list = static_cast<QListWidget*>(Control(IDC_CHAPTERS));
    const QSignalBlocker quiet(list);
    m_player.LoadChapterList(list);
}

void CPlayerDlg::DropHighlightTable() {
    m_highlight.reset();
}

void CPlayerDlg::UpdateChapterHighlight() {
    const std::vector<int32_t>& times = m_player.ChapterTimes();
    if (times.empty())
        return;
    if (!m_highlight)
        m_highlight = BuildHighlightTable(times);
    const int row = HighlightRow(*m_highlight, static_cast<QSlider*>(Control(IDC_POSITION))->value());
    auto* list = static_cast<QListWidget*>(Control(IDC_CHAPTERS));
    // The table is as last loaded; deletes since then may have shortened the list.
    if (row < 0 || row >= list->count())
        return;
    const QSignalBlocker quiet(list);
    list->setCurrentRow(row);
}

void CPlayerDlg::OnAddChapter() {
    m_player.AddChapter(static_cast<QListWidget*>(Control(IDC_CHAPTERS)),
                        static_cast<QLineEdit*>(Control(IDC_CHAPTERTITLE)));
}

void CPlayerDlg::OnModifyChapter() {
    m_player.ModifyChapter(static_cast<QListWidget*>(Control(IDC_CHAPTERS)),
                           static_cast<QLineEdit*>(Control(IDC_CHAPTERTITLE)));
}

void CPlayerDlg::OnDeleteChapter() {
    m_player.DeleteChapter(static_cast<QListWidget*>(Control(IDC_CHAPTERS)));
}

void CPlayerDlg::UpdateWriteBackNotice() {
    const std::string problem = m_player.m_bEditMode && !m_strCurrentFile.empty()
                                    ? zmr::ChapterWriteBackProblem(m_strCurrentFile)
                                    : std::string();
    if (problem.empty()) {
        if (m_pWriteBackNotice)
            m_pWriteBackNotice->hide();
        return;
    }
    if (!m_pWriteBackNotice) {
        // On the chapter group's top edge after its title, where it moves no
        // control of the window and sits beside the list it is about.
        auto* frame = static_cast<QGroupBox*>(Control(IDC_CHAPTERFRAME));
        const QFontMetrics metrics(frame->font());
        const int x = metrics.horizontalAdvance(frame->title()) + metrics.averageCharWidth() * 3;
        m_pWriteBackNotice = new QLabel(frame);
        m_pWriteBackNotice->setObjectName(QStringLiteral("writeBackNotice"));
        m_pWriteBackNotice->setTextFormat(Qt::PlainText);
        m_pWriteBackNotice->setAutoFillBackground(true);
        QPalette palette = m_pWriteBackNotice->palette();
        palette.setColor(QPalette::WindowText, QColor(176, 0, 0));
        m_pWriteBackNotice->setPalette(palette);
        m_pWriteBackNotice->setGeometry(x, 0, std::max(0, frame->width() - x - metrics.averageCharWidth()),
                                        metrics.height());
        const QString text = QString::fromUtf8("章节无法写回课件");
        m_pWriteBackNotice->setText(metrics.elidedText(text, Qt::ElideRight, m_pWriteBackNotice->width()));
    }
    m_pWriteBackNotice->setToolTip(QString::fromStdString("Chapters cannot be written back: " + problem));
    m_pWriteBackNotice->show();
    m_pWriteBackNotice->raise();
}

void CPlayerDlg::OnEditDone() {
    // The write-back closes the lesson: keep where it stands first.
    SaveResumePosition(true);
    // No reader of the lesson may hold it while it is written.
    m_pSeekPreview->Release();
    if (SUCCEEDED(m_player.WriteBackChapterDocument()))
        ShowNotice(kMsgWrittenBack);
    DropHighlightTable();
    // The write-back closed the lesson: the speed shown follows.
    ShowGraphSpeed();
}

}  // namespace kovel::player
