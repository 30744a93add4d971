// Chapter editing on the working copy (add, modify, delete) and the
// write-back of the working copy into the lesson.
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSlider>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <unordered_set>

#include "chapter_document.h"
#include "chapter_dom.h"
#include "chapter_list.h"
#include "graph_player.h"
#include "report_message.h"

namespace kovel::player {
namespace {

// The pseudo-random part of a new id has always been 0 to 32767, whatever
// the C library's own range is.
constexpr int kRandomIdSpan = 32768;

// Seconds since local midnight plus the next pseudo-random number: the
// first candidate a new chapter's id has always been drawn from (0 to 119166).
int32_t FirstCandidateId() {
    int hour = -1, minute = -1, second = -1;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now != std::time_t(-1) && localtime_r(&now, &local)) {
        hour = local.tm_hour;
        minute = local.tm_min;
        second = local.tm_sec;
    }
    return hour * 3600 + minute * 60 + second + std::rand() % kRandomIdSpan;
}

// The first id from `candidate` upwards that no chapter of the document
// reads as (an id-less chapter reads as 0), so every list entry keeps
// pointing at one element.
int32_t UnusedChapterId(const pugi::xml_document& doc, int32_t candidate) {
    std::unordered_set<int32_t> used;
    for (const pugi::xml_node& chapter : ChapterElements(doc))
        used.insert(DecimalPrefix(chapter.attribute("id").value()));
    while (used.count(candidate)) ++candidate;
    return candidate;
}

// The chapter id of the list entry at `row`, as the document writes it.
std::optional<std::string> EntryId(const QListWidget* list, int32_t row) {
    const QListWidgetItem* item = row >= 0 ? list->item(row) : nullptr;
    if (!item)
        return std::nullopt;
    return std::to_string(item->data(kChapterIdRole).toInt());
}

// Modify and delete need the working copy with its "Index" element; the
// failure message when it is not there, else null.
const char* LoadIndexedDom(pugi::xml_document& doc, const std::string& path, ChapterDomLoad* loaded) {
    *loaded = LoadChapterDom(doc, path);
    if (!*loaded)
        return kMsgNotLoaded;
    if (!doc.child("Index"))
        return kMsgNoIndex;
    return nullptr;
}

constexpr char kNotSaved[] = "cannot save the chapter document";

}  // namespace

bool CGraphPlayer::ChaptersEditable() {
    if (m_bChapterOffsetKnown && !m_szTempDoc.empty())
        return true;
    // Without a known offset the chapters could never be written back.
    ReportMessage("%s", "Chapters cannot be edited: this file has no known chapter index offset");
    m_strChapterMessage = "no known chapter index offset";
    return false;
}

HRESULT CGraphPlayer::AddChapter(QListWidget* list, QLineEdit* titleEntry) {
    m_strChapterMessage.clear();
    if (!list)
        return E_POINTER;
    const std::string title = titleEntry ? titleEntry->text().toStdString() : std::string();
    const int32_t time = m_pSlider ? m_pSlider->value() : 0;
    if (!ChaptersEditable())
        return E_FAIL;

    pugi::xml_document doc;
    const ChapterDomLoad loaded = LoadChapterDom(doc, m_szTempDoc);
    if (!loaded) {
        if (LoadCallFailed(loaded))
            return ChapterFailure(kMsgNotLoaded);
        // Missing, empty or not well formed: the first chapter starts a new
        // document.
        doc.reset();
    }
    pugi::xml_node index = doc.child("Index");
    if (!index) {
        // A second document element would not be well formed.
        if (doc.document_element())
            return ChapterFailure(kMsgRootNotCreated);
        index = doc.append_child("Index");
        if (!index)
            return ChapterFailure(kMsgRootNotCreated);
    }
    const int32_t id = UnusedChapterId(doc, FirstCandidateId());
    pugi::xml_node chapter = index.append_child("Chapter");
    if (!chapter)
        return ChapterFailure(kMsgChapterNotAppended);
    m_nLastChapterId = id;
    SetElementText(chapter, title);
    SetAttribute(chapter, "id", std::to_string(id));
    if (!SetAttribute(chapter, "time", std::to_string(time)))
        return ChapterFailure(kMsgNoAttribute);
    {
        const QSignalBlocker quiet(list);
        list->addItem(NewChapterEntry(title, id, double(time) * m_dScale));
    }
    if (!SaveChapterDom(doc, loaded, m_szTempDoc))
        return ChapterFailure(kNotSaved);
    return S_OK;
}

HRESULT CGraphPlayer::ModifyChapter(QListWidget* list, QLineEdit* titleEntry) {
    m_strChapterMessage.clear();
    if (!list)
        return E_POINTER;
    const std::string title = titleEntry ? titleEntry->text().toStdString() : std::string();
    const int32_t time = m_pSlider ? m_pSlider->value() : 0;
    const std::optional<std::string> id = EntryId(list, m_nCurrentChapter);
    if (!ChaptersEditable())
        return E_FAIL;

    pugi::xml_document doc;
    ChapterDomLoad loaded;
    if (const char* failure = LoadIndexedDom(doc, m_szTempDoc, &loaded))
        return ChapterFailure(failure);
    bool changed = false;
    if (id) {
        for (pugi::xml_node chapter : OutermostMatches(ChapterElements(doc), *id)) {
            changed = true;
            SetElementText(chapter, title);
            SetAttribute(chapter, "id", *id);
            SetAttribute(chapter, "time", std::to_string(time));
            // The entry keeps its place; the list loses its selection.
            const QSignalBlocker quiet(list);
            delete list->takeItem(m_nCurrentChapter);
            list->insertItem(m_nCurrentChapter,
                             NewChapterEntry(title, DecimalPrefix(id->c_str()), double(time) * m_dScale));
            list->clearSelection();
            list->setCurrentItem(nullptr);
        }
    }
    // An edit that matched nothing leaves the working copy byte for byte.
    if (changed && !SaveChapterDom(doc, loaded, m_szTempDoc))
        return ChapterFailure(kNotSaved);
    return S_OK;
}

HRESULT CGraphPlayer::DeleteChapter(QListWidget* list) {
    m_strChapterMessage.clear();
    if (!list)
        return E_POINTER;
    const std::optional<std::string> id = EntryId(list, m_nCurrentChapter);
    if (!ChaptersEditable())
        return E_FAIL;

    pugi::xml_document doc;
    ChapterDomLoad loaded;
    if (const char* failure = LoadIndexedDom(doc, m_szTempDoc, &loaded))
        return ChapterFailure(failure);
    size_t matches = 0;
    if (id) {
        for (pugi::xml_node chapter : OutermostMatches(ChapterElements(doc), *id, &matches))
            chapter.parent().remove_child(chapter);
        const QSignalBlocker quiet(list);
        const int idValue = DecimalPrefix(id->c_str());
        for (size_t removed = 0; removed < matches; ++removed) {
            // The chosen entry goes; further elements of a repeated id take
            // their own entries with them rather than the entries below.
            QListWidgetItem* entry = removed == 0 ? list->item(m_nCurrentChapter) : nullptr;
            for (int row = 0; !entry && row < list->count(); ++row)
                if (list->item(row)->data(kChapterIdRole).toInt() == idValue)
                    entry = list->item(row);
            delete entry;
        }
        if (matches) {
            list->clearSelection();
            list->setCurrentItem(nullptr);
        }
    }
    // The current chapter position stays: a second delete removes the
    // chapter that moved up into it.
    if (matches && !SaveChapterDom(doc, loaded, m_szTempDoc))
        return ChapterFailure(kNotSaved);
    return S_OK;
}

HRESULT CGraphPlayer::WriteBackChapterDocument() {
    m_strChapterMessage.clear();
    // No component may hold the lesson open while it is rewritten.
    CloseGraph();
    std::string document;
    if (m_szTempDoc.empty() || !ReadWhole(m_szTempDoc, &document)) {
        ReportMessage("%s", kMsgNoWorkingCopy);
        return E_FAIL;
    }
    if (!m_bChapterOffsetKnown) {
        ReportMessage("%s", "Chapters not written back: this file has no known chapter index offset");
        return E_FAIL;
    }
    if (document.empty()) {
        ReportMessage("%s", "Chapters not written back: the chapter document is empty");
        return E_FAIL;
    }
    pugi::xml_document check;
    const zmr::ChapterXml parsed = zmr::ParseChapterXml(check, document);
    if (!parsed || !check.document_element()) {
        ReportMessage(
            "Chapters not written back: the chapter document is not well-formed XML (%s at byte %td)",
            parsed.result.description(), parsed.result.offset);
        return E_FAIL;
    }
    // Only over the document this player read: chapters another player
    // wrote back since then are not silently lost.
    const zmr::WriteBackResult written = zmr::WriteChapterDocument(m_szFile, document, &m_strStoredChapters);
    if (!written.ok) {
        ReportMessage("Chapters not written back: %s", written.error.c_str());
        return E_FAIL;
    }
    m_strStoredChapters = document;
    return S_OK;
}

}  // namespace kovel::player
