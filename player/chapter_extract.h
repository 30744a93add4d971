// Taking the chapter index document out of a lesson into the player's
// working copy on disk, at every open.
#pragma once

#include <cstdint>
#include <string>

namespace kovel::player {

struct ExtractResult {
    bool ok = false;           // the open may go on
    bool offsetKnown = false;  // chapters exist and may be written back
    uint64_t chapterIndexOffset = 0;
    std::string document;  // as stored: a write-back goes only over this
};

// Path of this player's temporary chapter document "temp.xml", in a folder
// of its own under the user's local application data, so that two running
// players never share one. Empty when no such folder can be made.
std::string TempDocumentPath();

// Copies the stored document byte for byte into tempDoc (completing a
// write-back that was cut short first). Fails for a file that cannot be read
// or does not start with the header object. A lesson whose first header
// child is not the file properties object opens with an empty document and
// offsetKnown false.
ExtractResult ExtractChapterDocument(const std::string& file, const std::string& tempDoc);

}  // namespace kovel::player
