// The ZIP records bookpack reads and writes (PKWARE APPNOTE 6.3), limited to
// what the stub's header walk can use: 32-bit sizes and offsets, methods 0
// and 8, traditional encryption.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bookpack {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50u;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50u;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50u;
inline constexpr uint32_t kZip64EndRecordSignature = 0x06064B50u;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50u;
inline constexpr uint32_t kDescriptorSignature = 0x08074B50u;

inline constexpr size_t kLocalHeaderLength = 30;
inline constexpr size_t kCentralHeaderLength = 46;
inline constexpr size_t kEndRecordLength = 22;
inline constexpr size_t kDescriptorLength = 16;  // with its signature

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDescriptor = 0x0008;
inline constexpr uint16_t kFlagStrongEncryption = 0x0040;
inline constexpr uint16_t kFlagUtf8 = 0x0800;
inline constexpr uint16_t kFlagMaskedHeaders = 0x2000;

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;

// The entry fields that both the local header and the central record carry,
// plus what only the central record holds.
struct EntryRecord {
  std::string Name;  // bytes as stored
  uint16_t VersionMadeBy = 0;
  uint16_t Flags = 0;
  uint16_t Method = kMethodStored;
  uint16_t ModTime = 0;
  uint16_t ModDate = 0;
  uint32_t Crc32 = 0;
  uint32_t CompressedSize = 0;  // with the encryption header
  uint32_t UncompressedSize = 0;
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0;
  std::vector<uint8_t> LocalExtra;
  std::vector<uint8_t> CentralExtra;
};

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Get64(const uint8_t* p) { return Get32(p) | uint64_t{Get32(p + 4)} << 32; }

inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}

}  // namespace bookpack
