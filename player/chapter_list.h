// The chapter index document as the player reads it (Index with Chapter
// children carrying "id" and "time"), and the table that finds the chapter
// being played.
#pragma once

#include <QtCore/qnamespace.h>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class QListWidgetItem;

namespace kovel::player {

// A chapter list entry's item data: its chapter id.
constexpr int kChapterIdRole = Qt::UserRole;
// Its chapter's start in seconds, which the list draws beside the title (the
// entry's text stays the title).
constexpr int kChapterStartRole = Qt::UserRole + 1;

// A list entry for a chapter.
QListWidgetItem* NewChapterEntry(const std::string& title, int32_t id, double startSeconds);
// A start as the list shows it: "1:05" under an hour, "1:02:05" from an hour on.
QString ChapterStartText(double seconds);

// Failure texts the chapter operations carry (they never reach the user).
inline constexpr char kMsgNotLoaded[] = "不能够在解析器中装载XML文档";
inline constexpr char kMsgNoIndex[] = "不能在XML节点中定位'Index' ";
inline constexpr char kMsgRootNotCreated[] = "不能创建'RootNode' 节点";
inline constexpr char kMsgChapterNotAppended[] = "不能创建'xmlchildnode' 节点";
inline constexpr char kMsgNoAttribute[] = "不能插入新的属性";

// What the user sees when a write-back cannot start: the working copy is gone.
inline constexpr char kMsgNoWorkingCopy[] = "xml找不到";
// Shown after a complete write-back.
inline constexpr char kMsgWrittenBack[] = "文件编辑成功！！";

// The decimal prefix of a text as atoi reads it (leading blanks, a sign,
// digits), 0 when there is none; values beyond 32 bits saturate.
int32_t DecimalPrefix(const char* text);

struct ChapterEntry {
    std::string title;  // UTF-8
    int32_t id = 0;     // 0 when the attribute is missing or not numeric
    int32_t time = 0;   // slider units
    bool hasId = false;
    std::string idText;  // the attribute exactly as written
};

struct ChapterRead {
    bool ok = false;
    std::string message;  // carried failure text when !ok
    std::vector<ChapterEntry> chapters;
};

// Every Chapter element of the document in `path`, in document order.
ChapterRead ReadChapterEntries(const std::string& path);

// (list position, chapter time), sorted by time.
struct HighlightEntry {
    int row = 0;
    int32_t time = 0;
};
using HighlightTable = std::vector<HighlightEntry>;

// Sorted with the exchange sort the list has always used, so that chapters
// with equal times keep the order users know; beyond kExchangeSortLimit
// entries by a stable sort.
constexpr size_t kExchangeSortLimit = 4096;
HighlightTable BuildHighlightTable(const std::vector<int32_t>& times);

// The list position of the chapter being played at slider position p: the
// last entry in table order whose start is <= p and whose successor's start
// is >= p (at an exact start, the later chapter). -1 before the first start.
int HighlightRow(const HighlightTable& table, int32_t p);

}  // namespace kovel::player
