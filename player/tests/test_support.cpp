#include "test_support.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "courseware_format.h"

namespace kovel::player::test {

const char kGbkLessonTitle[] = "\xBF\xCE\xBC\xFE";
const char kGbkMakerName[] = "\xD5\xC5\xC8\xFD";

QApplication& App() {
    static int argc = 1;
    static char name[] = "player_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

std::vector<uint8_t> RecordArea(const std::vector<Record>& records) {
    std::vector<uint8_t> area;
    for (const Record& r : records) {
        size_t at = area.size();
        area.resize(at + 8);
        std::memcpy(area.data() + at, r.tag.data(), 4);
        int32_t n = r.length == -999 ? int32_t(r.text.size()) : r.length;
        zmr::WriteU32(area.data() + at + 4, uint32_t(n));
        area.insert(area.end(), r.text.begin(), r.text.end());
    }
    area.resize(zmr::kRecordAreaSize, 0);
    return area;
}

std::vector<uint8_t> LessonBytes(const LessonSpec& spec) {
    std::vector<uint8_t> fp(spec.filePropertiesSize < 48 ? 48 : spec.filePropertiesSize, 0);
    zmr::WriteGuid(fp.data(), zmr::kFilePropertiesObject);
    zmr::WriteU64(fp.data() + 16, spec.filePropertiesSize);
    std::vector<uint8_t> area = RecordArea(spec.records);
    std::memcpy(fp.data() + 48, area.data(), std::min(area.size(), fp.size() - 48));

    std::vector<uint8_t> other;
    if (spec.otherObjectFirst) {
        other.resize(60, 0);
        zmr::WriteGuid(other.data(), zmr::kStreamPropertiesObject);
        zmr::WriteU64(other.data() + 16, other.size());
    }
    std::vector<uint8_t> out(24, 0);
    zmr::WriteGuid(out.data(), spec.badHeaderGuid ? zmr::kDataObject : zmr::kHeaderObject);
    zmr::WriteU64(out.data() + 16, 24 + other.size() + fp.size());
    out.insert(out.end(), other.begin(), other.end());
    out.insert(out.end(), fp.begin(), fp.end());
    return out;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::vector<uint8_t> PlayableLessonBytes(const std::vector<Record>& records) {
    static std::vector<uint8_t> lesson = [] {
        static QTemporaryDir dir;
        const QString path = dir.path() + "/template.zmr";
        QProcess::execute(QStringLiteral(ZMR_PATH),
                          {"create", path, "--tone", "--no-screen", "--no-camera", "--duration", "1"});
        std::ifstream in(path.toStdString(), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    std::vector<uint8_t> bytes = lesson;
    // The file properties object is the header's first child.
    const size_t area = zmr::kObjectHeadSize + zmr::kFpRecords;
    if (bytes.size() >= area + zmr::kRecordAreaSize) {
        const std::vector<uint8_t> recordArea = RecordArea(records);
        std::memcpy(bytes.data() + area, recordArea.data(), zmr::kRecordAreaSize);
    }
    return bytes;
}

}  // namespace kovel::player::test
