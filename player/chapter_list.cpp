// The chapter list: filled from the player's working copy of the chapter
// document; choosing an entry moves playback to its chapter and pauses.
#include "chapter_list.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

#include "chapter_dom.h"
#include "graph_player.h"

namespace kovel::player {

int32_t DecimalPrefix(const char* text) {
    if (!text)
        return 0;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        // Stop growing once past the 32-bit range; the digits still count.
        if (value <= int64_t(INT32_MAX) + 1)
            value = value * 10 + (*p - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return int32_t(value);
}

ChapterRead ReadChapterEntries(const std::string& path) {
    ChapterRead read;
    pugi::xml_document doc;
    if (path.empty() || !LoadChapterDom(doc, path)) {
        read.message = kMsgNotLoaded;
        return read;
    }
    if (!doc.child("Index")) {
        read.message = kMsgNoIndex;
        return read;
    }
    for (const pugi::xml_node& chapter : ChapterElements(doc)) {
        ChapterEntry entry;
        entry.title = ElementText(chapter);
        entry.time = DecimalPrefix(chapter.attribute("time").value());
        const pugi::xml_attribute id = chapter.attribute("id");
        entry.hasId = bool(id);
        entry.idText = id.value();
        entry.id = DecimalPrefix(id.value());
        read.chapters.push_back(std::move(entry));
    }
    read.ok = true;
    return read;
}

QListWidgetItem* NewChapterEntry(const std::string& title, int32_t id, double startSeconds) {
    auto* item = new QListWidgetItem(QString::fromUtf8(title.data(), qsizetype(title.size())));
    item->setData(kChapterIdRole, id);
    item->setData(kChapterStartRole, startSeconds);
    // A long title is cut short beside the start: the tool tip shows it whole.
    item->setToolTip(item->text());
    return item;
}

QString ChapterStartText(double seconds) {
    const long long n = seconds > 0 ? static_cast<long long>(std::trunc(seconds + 0.49)) : 0;
    const long long h = n / 3600, m = (n % 3600) / 60, sec = n % 60;
    if (h > 0)
        return QString::asprintf("%lld:%02lld:%02lld", h, m, sec);
    return QString::asprintf("%lld:%02lld", m, sec);
}

HighlightTable BuildHighlightTable(const std::vector<int32_t>& times) {
    HighlightTable table;
    table.reserve(times.size());
    for (size_t i = 0; i < times.size(); ++i) table.push_back({int(i), times[i]});
    // The exchange sort takes quadratic time: a document with a huge number
    // of chapters would freeze the window at the first tick, so such lists
    // are sorted stably instead (only the order of equal times differs).
    if (table.size() > kExchangeSortLimit) {
        std::stable_sort(table.begin(), table.end(),
                         [](const HighlightEntry& a, const HighlightEntry& b) { return a.time < b.time; });
        return table;
    }
    for (size_t i = 0; i + 1 < table.size(); ++i)
        for (size_t j = i; j < table.size(); ++j)
            if (table[j].time < table[i].time)
                std::swap(table[i], table[j]);
    return table;
}

int HighlightRow(const HighlightTable& table, int32_t p) {
    int row = -1;
    for (size_t k = 0; k < table.size(); ++k) {
        const int32_t next = k + 1 < table.size() ? table[k + 1].time : p;
        if (table[k].time <= p && next >= p)
            row = table[k].row;
    }
    return row;
}

HRESULT CGraphPlayer::ChapterFailure(const char* message, HRESULT hr) {
    m_strChapterMessage = message;
    return hr;
}

HRESULT CGraphPlayer::LoadChapterList(QListWidget* list) {
    m_strChapterMessage.clear();
    m_chapterTimes.clear();
    if (!list)
        return E_POINTER;
    list->clear();
    const ChapterRead read = ReadChapterEntries(m_szTempDoc);
    if (!read.ok)
        return ChapterFailure(read.message.c_str());
    m_chapterTimes.reserve(read.chapters.size());
    for (const ChapterEntry& chapter : read.chapters) {
        m_chapterTimes.push_back(chapter.time);
        list->addItem(NewChapterEntry(chapter.title, chapter.id, double(chapter.time) * m_dScale));
    }
    return S_OK;
}

HRESULT CGraphPlayer::SelectChapter(QListWidget* list, QLineEdit* titleEntry, QLabel* positionLabel) {
    m_strChapterMessage.clear();
    if (!list)
        return E_POINTER;
    m_nCurrentChapter = list->currentRow();
    const QListWidgetItem* item = list->currentItem();
    // No entry chosen: no chapter can match.
    if (!item)
        return S_OK;
    const std::string id = std::to_string(item->data(kChapterIdRole).toInt());

    pugi::xml_document doc;
    if (m_szTempDoc.empty() || !LoadChapterDom(doc, m_szTempDoc))
        return ChapterFailure(kMsgNotLoaded);
    if (!doc.child("Index"))
        return ChapterFailure(kMsgNoIndex);
    for (const pugi::xml_node& chapter : ChapterElements(doc)) {
        // An element without an id matches no entry, not even one of id 0.
        if (!IdMatches(chapter, id))
            continue;
        const int32_t t = DecimalPrefix(chapter.attribute("time").value());
        const std::string title = ElementText(chapter);
        // After a write-back there is no graph: only the title is taken.
        const bool playing = m_state != PlayState::Closed;
        if (playing) {
            SeekBy(double(t) * m_dScale - GetPositionSeconds());
            const std::string text = PositionText(GetPositionSeconds());
            if (positionLabel)
                positionLabel->setText(QString::fromStdString(text));
        }
        if (titleEntry)
            titleEntry->setText(QString::fromUtf8(title.data(), qsizetype(title.size())));
        if (playing && m_pMC && SUCCEEDED(m_pMC->Pause()))
            m_state = PlayState::Paused;
        break;
    }
    return S_OK;
}

}  // namespace kovel::player
