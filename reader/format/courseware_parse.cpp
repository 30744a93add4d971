#include "courseware_parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kovel/bitmap_subtype.h"
#include "kovel/formats.h"

namespace zmr {

namespace {
// Objects the reader takes whole into memory are header children; no honest
// header child comes near this, and it bounds what a hostile size can cost.
constexpr uint64_t kMaxHeaderChild = 64u << 20;

bool GuidAt(const uint8_t* p, const GUID& g) {
    return ReadGuid(p) == g;
}
}  // namespace

FileReader::~FileReader() {
    Close();
}

int FileReader::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        return errno ? errno : EIO;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
        Close();
        return EISDIR;
    }
    return 0;
}

void FileReader::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

uint64_t FileReader::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return 0;
    return uint64_t(st.st_size);
}

size_t FileReader::ReadAt(uint64_t offset, void* buf, size_t len) const {
    if (fd_ < 0 || offset > uint64_t(INT64_MAX))
        return 0;
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd_, static_cast<uint8_t*>(buf) + done, len - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

GUID BitmapSubtype(const std::vector<uint8_t>& format, size_t offset) {
    if (format.size() < offset || format.size() - offset < sizeof(BITMAPINFOHEADER))
        return GUID_NULL;
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, format.data() + offset, sizeof bih);
    // The colour masks follow the header; a block too short for them has none.
    const size_t masksAt = offset + sizeof bih;
    DWORD masks[iMASK_COLORS];
    const bool haveMasks = format.size() - masksAt >= sizeof masks;
    if (haveMasks)
        std::memcpy(masks, format.data() + masksAt, sizeof masks);
    return kovel::BitmapSubtype(bih, haveMasks ? masks : nullptr);
}

bool BuildMediaType(bool audio, const StreamProperties& props, StreamMediaType* out) {
    StreamMediaType mt;
    if (audio) {
        if (props.format.size() < sizeof(WAVEFORMATEX))
            return false;
        mt.major_type = MEDIATYPE_Audio;
        mt.subtype = MEDIASUBTYPE_WMAudioV2;
        mt.format_type = FORMAT_WaveFormatEx;
        mt.format = props.format;
        if (props.sample_size != 0) {
            mt.fixed_size = true;
            mt.sample_size = props.sample_size;
        } else {
            mt.fixed_size = false;
            mt.sample_size = 1;
        }
        mt.temporal_compression = false;
    } else {
        if (props.format.size() < sizeof(VIDEOINFOHEADER))
            return false;
        mt.major_type = MEDIATYPE_Video;
        mt.fixed_size = props.sample_size != 0;
        mt.sample_size = props.sample_size;
        mt.subtype = BitmapSubtype(props.format, 48);
        mt.format = props.format;
        if (mt.subtype == GUID_NULL) {
            // A second-generation video header: drop its 24 extra bytes. Too
            // short to hold them and a bitmap header: refused.
            if (props.format.size() < kVideoInfo2ExtraBytes + sizeof(VIDEOINFOHEADER))
                return false;
            std::vector<uint8_t> block(props.format.size() - kVideoInfo2ExtraBytes);
            std::memcpy(block.data(), props.format.data(), 48);
            std::memcpy(block.data() + 48, props.format.data() + 72, block.size() - 48);
            mt.subtype = BitmapSubtype(block, 48);
            mt.format = std::move(block);
        }
        mt.format_type = FORMAT_VideoInfo;
        mt.temporal_compression = true;
    }
    *out = std::move(mt);
    return true;
}

bool ParsePinHeader(const FileReader& file, const GUID& stream_type, PinHeader* out) {
    PinHeader ph;
    uint8_t head[kObjectHeadSize];
    if (!file.ReadExact(0, head, sizeof head) || !GuidAt(head, kHeaderObject))
        return false;
    uint64_t header_size = ReadU64(head + 16);
    uint64_t file_size = file.Size();
    if (header_size < kObjectHeadSize || header_size > file_size)
        return false;
    ph.header_size = header_size;
    const bool audio = stream_type == kAudioStream;

    uint64_t offset = kObjectHeadSize;
    while (offset < header_size) {
        if (header_size - offset < kObjectHeadSize || !file.ReadExact(offset, head, sizeof head))
            return false;
        GUID id = ReadGuid(head);
        uint64_t size = ReadU64(head + 16);
        // An object smaller than its own head, or running past the header,
        // would send the walk backwards or outside: the header is broken.
        if (size < kObjectHeadSize || size > header_size - offset)
            return false;
        if (id == kStreamPropertiesObject && ph.stream.stream_number == 0) {
            if (size < kSpMinimumSize || size > kMaxHeaderChild)
                return false;
            std::vector<uint8_t> obj(size);
            if (!file.ReadExact(offset, obj.data(), obj.size()))
                return false;
            // The fixed fields end at 56; a shorter object has no format data.
            if (size < kSpFormatData)
                return false;
            uint32_t format_len = ReadU32(&obj[kSpFormatLength]);
            if (format_len == 0 || format_len > size - kSpFormatData)
                return false;
            if (ReadGuid(&obj[kSpStreamType]) == stream_type) {
                StreamProperties sp;
                sp.stream_type = stream_type;
                sp.stream_number = ReadU16(&obj[kSpStreamNumber]);
                sp.sample_size = ReadU32(&obj[kSpSampleSize]);
                sp.buffer_size = ReadU32(&obj[kSpBufferSize]);
                sp.format.assign(obj.begin() + kSpFormatData, obj.begin() + kSpFormatData + format_len);
                if (sp.stream_number != 0) {
                    if (!BuildMediaType(audio, sp, &ph.media_type))
                        return false;
                    ph.stream = std::move(sp);
                }
            }
        } else if (id == kFilePropertiesObject) {
            if (size > kMaxHeaderChild)
                return false;
            std::vector<uint8_t> obj(size);
            if (!file.ReadExact(offset, obj.data(), obj.size()))
                return false;
            // Too short to hold its fields: not taken.
            if (size >= kFpRecords) {
                WriteU64(&obj[kFpPacketSize], kPacketSize);
                ph.play_duration = ReadI64(&obj[kFpPlayDuration]);
                ph.file_properties = std::move(obj);
                ph.have_file_properties = true;
            }
        }
        offset += size;
    }
    if (ph.stream.stream_number == 0)
        return false;
    *out = std::move(ph);
    return true;
}

std::optional<DataObjectInfo> ReadDataObject(const FileReader& file, uint64_t header_size) {
    uint8_t head[kDataObjectHeadSize];
    if (!file.ReadExact(header_size, head, sizeof head))
        return std::nullopt;
    if (!GuidAt(head, kDataObject))
        return std::nullopt;
    DataObjectInfo d;
    d.offset = header_size;
    d.size = ReadU64(head + 16);
    d.packet_count = ReadU64(head + kDataPacketCount);
    if (d.size < kDataMinimumSize)
        return std::nullopt;
    return d;
}

std::optional<std::vector<IndexBlock>> ReadIndexObject(const FileReader& file, uint64_t offset,
                                                       uint64_t* object_size) {
    uint8_t head[kObjectHeadSize];
    if (!file.ReadExact(offset, head, sizeof head) || !GuidAt(head, kIndexObject))
        return std::nullopt;
    uint64_t size = ReadU64(head + 16);
    uint64_t file_size = file.Size();
    if (size < kObjectHeadSize || offset > file_size || size > file_size - offset)
        return std::nullopt;
    if (object_size)
        *object_size = size;
    std::vector<IndexBlock> blocks;
    uint64_t pos = kObjectHeadSize;
    while (pos < size && size - pos >= kIndexBlockHeadSize) {
        uint8_t bh[kIndexBlockHeadSize];
        if (!file.ReadExact(offset + pos, bh, sizeof bh))
            break;
        uint32_t block_size = ReadU32(bh + kIbBlockSize);
        uint64_t count = ReadU64(bh + kIbEntryCount);
        if (block_size < kIndexBlockHeadSize || block_size > size - pos)
            break;
        // Entries beyond the block's own bytes are not there.
        uint64_t room = (block_size - kIndexBlockHeadSize) / kIndexEntrySize;
        if (count > room)
            count = room;
        IndexBlock b;
        b.stream_number = ReadU16(bh + kIbStreamNumber);
        std::vector<uint8_t> raw(count * kIndexEntrySize);
        if (!raw.empty() && !file.ReadExact(offset + pos + kIndexBlockHeadSize, raw.data(), raw.size()))
            break;
        b.packets.resize(count);
        for (uint64_t i = 0; i < count; ++i)
            b.packets[i] = ReadU32(&raw[i * kIndexEntrySize + kIePacketNumber]);
        blocks.push_back(std::move(b));
        pos += block_size;
    }
    return blocks;
}

std::optional<std::vector<uint32_t>> LoadSeekIndex(const FileReader& file, uint64_t index_offset, bool audio,
                                                   uint16_t stream_number) {
    auto blocks = ReadIndexObject(file, index_offset);
    if (!blocks)
        return std::nullopt;
    for (auto& b : *blocks) {
        if (audio || b.stream_number == stream_number) {
            if (b.packets.empty())
                return std::nullopt;
            return std::move(b.packets);
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> SeekPacket(const std::vector<uint32_t>& entries, int64_t start,
                                   int64_t play_duration) {
    if (entries.empty() || start < 0 || start > play_duration)
        return std::nullopt;
    uint64_t s = uint64_t(start / UNITS);
    if (s >= entries.size())
        s = entries.size() - 1;
    return entries[s];
}

DescriptiveRecords ParseRecords(const std::vector<uint8_t>& fp) {
    DescriptiveRecords r;
    if (fp.size() != kFilePropertiesSize)
        return r;
    const uint8_t* area = fp.data() + kFpRecords;
    uint32_t pos = 0;
    while (pos < kRecordAreaSize && area[pos] != 0) {
        if (kRecordAreaSize - pos < kRecordHeadSize)
            break;
        int32_t n = ReadI32(area + pos + 4);
        if (n < 0 || uint32_t(n) > kRecordAreaSize - pos - kRecordHeadSize)
            break;
        if (n > 0) {
            const char* text = reinterpret_cast<const char*>(area + pos + kRecordHeadSize);
            std::string value(text, strnlen(text, size_t(n)));
            const uint8_t* tag = area + pos;
            if (std::memcmp(tag, kTagTitle, 4) == 0)
                r.title = value;
            else if (std::memcmp(tag, kTagMakerName, 4) == 0)
                r.maker = value;
            else if (std::memcmp(tag, kTagMakerAccount, 4) == 0)
                r.account = value;
            else if (std::memcmp(tag, kTagMakingDate, 4) == 0)
                r.date = value;
        }
        pos += kRecordHeadSize + uint32_t(n);
    }
    return r;
}

std::optional<FileLayout> ReadFileLayout(const FileReader& file) {
    FileLayout l;
    l.file_size = file.Size();
    uint8_t head[kObjectHeadSize];
    if (!file.ReadExact(0, head, sizeof head) || !GuidAt(head, kHeaderObject))
        return std::nullopt;
    l.header_size = ReadU64(head + 16);
    if (l.header_size < kObjectHeadSize || l.header_size > l.file_size)
        return std::nullopt;
    uint64_t offset = kObjectHeadSize;
    bool first = true;
    while (offset < l.header_size) {
        if (l.header_size - offset < kObjectHeadSize || !file.ReadExact(offset, head, sizeof head))
            break;
        uint64_t size = ReadU64(head + 16);
        if (size < kObjectHeadSize || size > l.header_size - offset)
            break;
        if (ReadGuid(head) == kFilePropertiesObject && l.file_properties.empty() && size >= kFpRecords &&
            size <= kMaxHeaderChild) {
            l.file_properties.resize(size);
            if (!file.ReadExact(offset, l.file_properties.data(), size)) {
                l.file_properties.clear();
                break;
            }
            l.file_properties_first = first;
            l.chapter_index_offset = ReadU64(&l.file_properties[kFpChapterIndexOffset]);
            l.play_duration = ReadI64(&l.file_properties[kFpPlayDuration]);
        }
        first = false;
        offset += size;
    }
    l.data = ReadDataObject(file, l.header_size);
    l.media_end = l.header_size;
    if (l.data) {
        if (l.data->size > l.file_size - l.header_size) {
            l.media_end = l.file_size;
        } else {
            l.media_end = l.header_size + l.data->size;
            uint64_t isize = 0;
            if (ReadIndexObject(file, l.media_end, &isize)) {
                l.have_index = true;
                l.index_offset = l.media_end;
                l.index_size = isize;
                l.media_end += isize;
            }
        }
    }
    return l;
}

void StreamAssembler::ForgetObject() {
    fill_ = 0;
    skipping_ = false;
    last_object_ = 0xFFFFFFFFu;
    object_size_ = 0;
}

void StreamAssembler::Start(const DataObjectInfo& data) {
    data_ = data;
    started_ = true;
    packet_counter_ = 1;
    have_packet_ = false;
    ForgetObject();
}

void StreamAssembler::Reposition(uint32_t packet) {
    packet_counter_ = uint64_t(packet) + 1;
    have_packet_ = false;
    ForgetObject();
}

bool StreamAssembler::NextPacket(const FileReader& file) {
    for (;;) {
        if (!started_ || packet_counter_ > data_.packet_count)
            return false;
        uint64_t k = packet_counter_ - 1;
        if (k > (UINT64_MAX - data_.FirstPacket()) / kPacketSize)
            return false;
        uint64_t at = data_.FirstPacket() + k * kPacketSize;
        if (!file.ReadExact(at, packet_, kPacketSize))
            return false;
        ++packet_counter_;
        uint32_t length = ReadU32(packet_ + 4);
        if (audio_ && length != kPacketSize)
            return false;
        // A video packet whose length cannot be right is dropped whole.
        if (length > kPacketSize || length < kPacketHeadSize)
            continue;
        payload_count_ = packet_[0];
        area_length_ = length - kPacketHeadSize;
        next_payload_ = 1;
        payload_offset_ = 0;
        have_packet_ = true;
        return true;
    }
}

StreamAssembler::Result StreamAssembler::Fill(const FileReader& file, uint8_t* buf, uint32_t cap,
                                              Sample* out) {
    for (;;) {
        if (!have_packet_ || next_payload_ > payload_count_) {
            if (!NextPacket(file))
                return Result::kEnd;
        }
        const uint8_t* area = packet_ + kPacketHeadSize;
        while (next_payload_ <= payload_count_) {
            // A payload running past the area ends this packet.
            if (area_length_ < kPayloadHeadSize || payload_offset_ > area_length_ - kPayloadHeadSize) {
                next_payload_ = payload_count_ + 1;
                break;
            }
            const uint8_t* p = area + payload_offset_;
            uint32_t n = ReadU16(p + kPlDataLength);
            if (n > area_length_ - payload_offset_ - kPayloadHeadSize) {
                next_payload_ = payload_count_ + 1;
                break;
            }
            payload_offset_ += kPayloadHeadSize + n;
            ++next_payload_;
            if (ReadU16(p + kPlStreamNumber) != stream_number_)
                continue;
            uint32_t object = ReadU16(p + kPlObjectNumber);
            uint32_t object_size = ReadU16(p + kPlObjectSize);
            if (object != last_object_) {
                fill_ = 0;
                skipping_ = false;
                object_size_ = object_size;
            }
            last_object_ = object;
            if (skipping_)
                continue;
            // An object larger than the buffer, fragments adding up to more than
            // its size, or fragments that disagree on its size cannot be
            // delivered: drop the whole object.
            if (object_size != object_size_ || object_size > cap || n > object_size - fill_) {
                skipping_ = true;
                fill_ = 0;
                continue;
            }
            if (n)
                std::memcpy(buf + fill_, p + kPayloadHeadSize, n);
            if (fill_ + n == object_size) {
                out->size = object_size;
                out->start = ReadI64(p + kPlStartTime);
                out->end = ReadI64(p + kPlEndTime);
                out->flags = p[kPlFlags];
                // Same number again would be a fresh object only by accident; it
                // must not be appended to this finished one.
                fill_ = object_size;
                skipping_ = true;
                return Result::kSample;
            }
            fill_ += n;
        }
    }
}

}  // namespace zmr
