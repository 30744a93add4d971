// Reading a courseware file without trusting it: the header walk each output
// stream performs, the media type a stream is announced with, the data object
// and its packets, the per-second index and the descriptive records. Every
// size, count and offset taken from the file is checked before it is used.
// Plain C++ with no component objects, so that the reader plug-in, the zmr
// tool and the player can share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "courseware_format.h"
#include "kovel/types.h"

namespace zmr {

// Random-access reads on a file opened read-only; 64-bit offsets throughout.
class FileReader {
  public:
    FileReader() = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Returns 0 or the errno of the failed open.
    int Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    uint64_t Size() const;
    // Bytes actually read (short at the end of the file or on error).
    size_t ReadAt(uint64_t offset, void* buf, size_t len) const;
    bool ReadExact(uint64_t offset, void* buf, size_t len) const { return ReadAt(offset, buf, len) == len; }

  private:
    int fd_ = -1;
};

// The stream properties object of one stream.
struct StreamProperties {
    GUID stream_type{};
    uint16_t stream_number = 0;
    uint32_t sample_size = 0;
    uint32_t buffer_size = 0;
    std::vector<uint8_t> format;  // format data as stored
};

// The one media type an output stream offers.
struct StreamMediaType {
    GUID major_type{};
    GUID subtype{};
    GUID format_type{};
    bool fixed_size = true;
    bool temporal_compression = false;
    uint32_t sample_size = 1;
    std::vector<uint8_t> format;
};

// Subtype of the bitmap header at `offset` of a video format block; GUID_NULL
// when none can be told (or the block is too short to hold the header).
GUID BitmapSubtype(const std::vector<uint8_t>& format, size_t offset);

// Builds the media type of a stream; false when the format block is too short
// for its kind (a short wave format or video header is refused, never read past).
bool BuildMediaType(bool audio, const StreamProperties& props, StreamMediaType* out);

// What one output stream learns from the header walk.
struct PinHeader {
    uint64_t header_size = 0;
    bool have_file_properties = false;
    std::vector<uint8_t> file_properties;  // whole object, packet size field forced to 2000
    int64_t play_duration = UNITS;         // one second until the file properties are read
    StreamProperties stream;
    StreamMediaType media_type;
};

// The header walk for one stream type. False when the header is broken, the
// stream is missing or its properties object is malformed.
bool ParsePinHeader(const FileReader& file, const GUID& stream_type, PinHeader* out);

// Data object head, checked against the file. `packet_count` is the stored
// count; packets beyond the end of the file simply end delivery.
struct DataObjectInfo {
    uint64_t offset = 0;  // file offset of the data object
    uint64_t size = 0;
    uint64_t packet_count = 0;
    uint64_t FirstPacket() const { return offset + kDataObjectHeadSize; }
};
std::optional<DataObjectInfo> ReadDataObject(const FileReader& file, uint64_t header_size);

struct IndexBlock {
    uint16_t stream_number = 0;
    std::vector<uint32_t> packets;  // packet number per second
};
// All blocks of the index object at `offset`; nullopt when there is no index
// object there. Blocks that would run past the object or the file end the walk.
std::optional<std::vector<IndexBlock>> ReadIndexObject(const FileReader& file, uint64_t offset,
                                                       uint64_t* object_size = nullptr);

// The entries a stream seeks through: the audio stream takes the first block
// whatever its number, a video stream the block of its own number. Empty
// blocks count as no index.
std::optional<std::vector<uint32_t>> LoadSeekIndex(const FileReader& file, uint64_t index_offset, bool audio,
                                                   uint16_t stream_number);

// Packet to restart delivery from for a new start position; nullopt for a
// negative start, a start beyond the play duration or an empty index.
std::optional<uint32_t> SeekPacket(const std::vector<uint32_t>& entries, int64_t start,
                                   int64_t play_duration);

// The descriptive records, as stored bytes (GBK); read only from a file
// properties object of exactly 1072 bytes.
struct DescriptiveRecords {
    std::string title, maker, account, date;
};
DescriptiveRecords ParseRecords(const std::vector<uint8_t>& file_properties);

// Where the file's objects lie, as the player and the tool see them.
struct FileLayout {
    uint64_t file_size = 0;
    uint64_t header_size = 0;
    bool file_properties_first = false;  // only then is the chapter index offset known
    std::vector<uint8_t> file_properties;
    uint64_t chapter_index_offset = 0;
    int64_t play_duration = 0;
    std::optional<DataObjectInfo> data;
    bool have_index = false;
    uint64_t index_offset = 0;
    uint64_t index_size = 0;
    // First byte the chapter index document may start at: after the index
    // object, or after the data object when there is no index.
    uint64_t media_end = 0;
};
std::optional<FileLayout> ReadFileLayout(const FileReader& file);

// Rebuilds media objects of one stream from the data packets, carrying its
// state from one call to the next exactly as the output pins do.
class StreamAssembler {
  public:
    struct Sample {
        uint32_t size = 0;
        int64_t start = 0;
        int64_t end = 0;
        uint8_t flags = 0;  // flags byte of the completing payload
    };
    enum class Result { kSample, kEnd };

    StreamAssembler(bool audio, uint16_t stream_number) : audio_(audio), stream_number_(stream_number) {}

    // Back to the first data packet.
    void Start(const DataObjectInfo& data);
    // Restart from packet number `packet` (0-based), dropping the packet in hand.
    void Reposition(uint32_t packet);
    // Fills `buf` (capacity `cap`) with the next whole media object.
    Result Fill(const FileReader& file, uint8_t* buf, uint32_t cap, Sample* out);

    uint64_t packet_counter() const { return packet_counter_; }

  private:
    bool NextPacket(const FileReader& file);
    // After a jump the first fragment read starts a fresh object.
    void ForgetObject();

    bool audio_;
    uint16_t stream_number_;
    bool started_ = false;
    DataObjectInfo data_{};
    uint64_t packet_counter_ = 1;  // 1-based number of the next packet to read
    uint8_t packet_[kPacketSize]{};
    uint32_t area_length_ = 0;  // bytes of payload area in hand
    uint32_t payload_count_ = 0;
    uint32_t next_payload_ = 1;  // 1-based
    uint32_t payload_offset_ = 0;
    bool have_packet_ = false;
    uint32_t fill_ = 0;
    uint32_t last_object_ = 0xFFFFFFFFu;
    uint32_t object_size_ = 0;  // as the object's first fragment gave it
    bool skipping_ = false;     // the current object was refused; drop its other fragments
};

}  // namespace zmr
