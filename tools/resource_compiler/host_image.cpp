#include "host_image.h"

#include <cstring>

#include "resource_section.h"

namespace rc {

namespace {

constexpr uint32_t kPeHeaderOffset = 0x40;  // right after the DOS header, no DOS program
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kResourceAddress = kSectionAlignment;  // the one section, first after the headers
constexpr uint16_t kOptionalHeaderSize = 224;             // PE32 with 16 data directories
constexpr uint32_t kOptionalHeader = kPeHeaderOffset + 4 + 20;
constexpr uint32_t kSectionTable = kOptionalHeader + kOptionalHeaderSize;
constexpr uint32_t kHeadersSize = kFileAlignment;
constexpr uint32_t kChecksumField = kOptionalHeader + 64;

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t k32BitMachine = 0x0100;
constexpr uint16_t kDllFile = 0x2000;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint32_t kInitializedData = 0x00000040;
constexpr uint32_t kMemoryRead = 0x40000000;
constexpr size_t kResourceDirectory = 2;

uint32_t alignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

class ImageWriter {
 public:
  explicit ImageWriter(size_t size) : bytes(size, 0) {}

  void put16(size_t at, uint16_t value) { std::memcpy(&bytes[at], &value, sizeof(value)); }
  void put32(size_t at, uint32_t value) { std::memcpy(&bytes[at], &value, sizeof(value)); }

  // The image checksum: 16-bit words summed with their carries folded back in,
  // the checksum field itself counting as zero, plus the file's length.
  uint32_t checksum() const {
    uint64_t sum = 0;
    for (size_t at = 0; at < bytes.size(); at += 2) {
      if (at == kChecksumField || at == kChecksumField + 2) continue;
      uint16_t word = bytes[at];
      if (at + 1 < bytes.size()) word |= static_cast<uint16_t>(bytes[at + 1] << 8);
      sum += word;
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
  }

  std::vector<uint8_t> bytes;
};

struct KindTraits {
  uint16_t characteristics;
  uint32_t imageBase;
  uint16_t subsystem;
};

KindTraits traitsOf(ImageKind kind) {
  uint16_t image = kRelocsStripped | kExecutableImage | k32BitMachine;
  switch (kind) {
    case ImageKind::Driver:
      return KindTraits{image, 0x00010000, kSubsystemNative};
    case ImageKind::Dll:
      return KindTraits{static_cast<uint16_t>(image | kDllFile), 0x10000000, kSubsystemWindowsGui};
    case ImageKind::Exe:
      break;
  }
  return KindTraits{image, 0x00400000, kSubsystemWindowsGui};
}

}  // namespace

std::optional<ImageKind> imageKindNamed(std::string_view name) {
  if (name == "driver") return ImageKind::Driver;
  if (name == "dll") return ImageKind::Dll;
  if (name == "exe") return ImageKind::Exe;
  return std::nullopt;
}

std::vector<uint8_t> buildHostImage(const ResourceScript& script, ImageKind kind) {
  std::vector<uint8_t> section = buildResourceSection(script, kResourceAddress);
  auto sectionSize = static_cast<uint32_t>(section.size());
  uint32_t rawSize = alignUp(sectionSize, kFileAlignment);
  KindTraits traits = traitsOf(kind);

  ImageWriter image(kHeadersSize + rawSize);
  image.put16(0, 0x5A4D);  // "MZ"
  image.put32(0x3C, kPeHeaderOffset);
  image.put32(kPeHeaderOffset, 0x00004550);  // "PE\0\0"

  size_t file = kPeHeaderOffset + 4;
  image.put16(file, kMachineI386);
  image.put16(file + 2, 1);  // sections
  image.put16(file + 16, kOptionalHeaderSize);
  image.put16(file + 18, traits.characteristics);

  size_t optional = kOptionalHeader;
  image.put16(optional, 0x010B);                 // PE32
  image.put32(optional + 8, rawSize);            // initialized data
  image.put32(optional + 20, kResourceAddress);  // base of code: there is none, so the first section
  image.put32(optional + 24, kResourceAddress);  // base of data
  image.put32(optional + 28, traits.imageBase);
  image.put32(optional + 32, kSectionAlignment);
  image.put32(optional + 36, kFileAlignment);
  image.put16(optional + 40, 4);  // operating system version 4.0
  image.put16(optional + 48, 4);  // subsystem version 4.0
  image.put32(optional + 56, kResourceAddress + alignUp(sectionSize, kSectionAlignment));
  image.put32(optional + 60, kHeadersSize);
  image.put16(optional + 68, traits.subsystem);
  image.put32(optional + 72, 0x00100000);  // stack reserve
  image.put32(optional + 76, 0x00001000);  // stack commit
  image.put32(optional + 80, 0x00100000);  // heap reserve
  image.put32(optional + 84, 0x00001000);  // heap commit
  image.put32(optional + 92, 16);          // data directories
  image.put32(optional + 96 + 8 * kResourceDirectory, kResourceAddress);
  image.put32(optional + 96 + 8 * kResourceDirectory + 4, sectionSize);

  std::memcpy(&image.bytes[kSectionTable], ".rsrc", 5);
  image.put32(kSectionTable + 8, sectionSize);
  image.put32(kSectionTable + 12, kResourceAddress);
  image.put32(kSectionTable + 16, rawSize);
  image.put32(kSectionTable + 20, kHeadersSize);
  image.put32(kSectionTable + 36, kInitializedData | kMemoryRead);

  if (!section.empty()) std::memcpy(&image.bytes[kHeadersSize], section.data(), section.size());
  image.put32(kChecksumField, image.checksum());
  return image.bytes;
}

}  // namespace rc
