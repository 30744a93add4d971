// Byte layout of a courseware (.zmr) file: object and stream identifiers,
// object head, fixed offsets and sizes. The reader plug-in, the player and
// the zmr tool all include this one header; nothing here links anything.
#pragma once

#include <cstdint>
#include <cstring>

#include "kovel/guids.h"

namespace zmr {

// Objects.
KOVEL_GUID(kHeaderObject, "F7AD0F8C-DCF6-4444-BA65-E5EBE66743B4");
KOVEL_GUID(kFilePropertiesObject, "F7AD0F8C-DCF6-4444-BA65-E5EBE66743B3");
KOVEL_GUID(kStreamPropertiesObject, "F7AD0F8C-DCF6-4444-BA65-E5EBE66743B0");
KOVEL_GUID(kDataObject, "F7AD0F8C-DCF6-4444-BA65-E5EBE66743D0");
KOVEL_GUID(kIndexObject, "897E2C6F-B66D-4289-A09C-6B4AB57F57A8");

// Stream types (field of the stream properties object).
KOVEL_GUID(kAudioStream, "F7AD0F8C-DCF6-4444-BA65-E5EBE66743A1");
KOVEL_GUID(kCameraStream, "F7AD0F8C-DCF6-4444-BA65-E5EBE66743A0");
KOVEL_GUID(kScreenStream, "81E83177-F73B-4DE8-B386-8CE6F7AADD83");

// Every object starts with a GUID and a 64-bit size that counts the head.
constexpr uint32_t kObjectHeadSize = 24;

// File properties object.
constexpr uint32_t kFilePropertiesSize = 1072;  // size when descriptive records are present
constexpr uint32_t kFpChapterIndexOffset = 24;
constexpr uint32_t kFpPacketSize = 32;
constexpr uint32_t kFpPlayDuration = 40;
constexpr uint32_t kFpRecords = 48;
constexpr uint32_t kRecordAreaSize = 1024;
constexpr uint32_t kRecordHeadSize = 8;  // 4-byte tag, 4-byte signed length

// Stream properties object.
constexpr uint32_t kSpStreamType = 24;
constexpr uint32_t kSpStreamNumber = 40;
constexpr uint32_t kSpSampleSize = 44;
constexpr uint32_t kSpBufferSize = 48;
constexpr uint32_t kSpFormatLength = 52;
constexpr uint32_t kSpFormatData = 56;
constexpr uint32_t kSpMinimumSize = 25;

// Data object and packets.
constexpr uint32_t kDataObjectHeadSize = 40;  // object head, packet count, 8 unread bytes
constexpr uint32_t kDataPacketCount = 24;
constexpr uint32_t kDataMinimumSize = 50;
constexpr uint32_t kPacketSize = 2000;
constexpr uint32_t kPacketHeadSize = 8;  // payload count, 3 unread, 32-bit length
constexpr uint32_t kPayloadAreaSize = kPacketSize - kPacketHeadSize;

// Payload head.
constexpr uint32_t kPayloadHeadSize = 32;
constexpr uint32_t kPlStreamNumber = 0;
constexpr uint32_t kPlObjectNumber = 2;
constexpr uint32_t kPlObjectSize = 4;
constexpr uint32_t kPlDataLength = 6;
constexpr uint32_t kPlFlags = 8;
constexpr uint32_t kPlStartTime = 16;
constexpr uint32_t kPlEndTime = 24;

// Index object and blocks.
constexpr uint32_t kIndexBlockHeadSize = 24;
constexpr uint32_t kIbStreamNumber = 0;
constexpr uint32_t kIbBlockSize = 8;
constexpr uint32_t kIbEntryCount = 16;
constexpr uint32_t kIndexEntrySize = 8;  // 4 unread bytes, 32-bit packet number
constexpr uint32_t kIePacketNumber = 4;

// Descriptive record tags.
constexpr char kTagTitle[4] = {'T', 'I', 'T', 'L'};
constexpr char kTagMakerName[4] = {'M', 'K', 'N', 'M'};
constexpr char kTagMakerAccount[4] = {'M', 'K', 'E', 'R'};
constexpr char kTagMakingDate[4] = {'M', 'K', 'D', 'T'};

// Little-endian field access on byte buffers; callers check bounds first.
inline uint16_t ReadU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t ReadU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t ReadU64(const uint8_t* p) { return uint64_t(ReadU32(p)) | (uint64_t(ReadU32(p + 4)) << 32); }
inline int32_t ReadI32(const uint8_t* p) { return int32_t(ReadU32(p)); }
inline int64_t ReadI64(const uint8_t* p) { return int64_t(ReadU64(p)); }
inline GUID ReadGuid(const uint8_t* p) {
    GUID g;
    g.Data1 = ReadU32(p);
    g.Data2 = ReadU16(p + 4);
    g.Data3 = ReadU16(p + 6);
    std::memcpy(g.Data4, p + 8, 8);
    return g;
}

inline void WriteU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void WriteU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void WriteU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void WriteGuid(uint8_t* p, const GUID& g) {
    WriteU32(p, g.Data1);
    WriteU16(p + 4, g.Data2);
    WriteU16(p + 6, g.Data3);
    std::memcpy(p + 8, g.Data4, 8);
}

}  // namespace zmr
