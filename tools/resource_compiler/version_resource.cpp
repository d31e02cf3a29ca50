#include "version_resource.h"

#include <cstring>
#include <string>

namespace rc {

namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kFixedInfoStructVersion = 0x00010000;
constexpr uint16_t kBinaryType = 0;
constexpr uint16_t kTextType = 1;

class NodeWriter {
 public:
  explicit NodeWriter(int line) : line_(line) {}

  std::vector<uint8_t> bytes;

  // Writes one node; `valueLength` is the header's count, `value` its bytes.
  template <typename WriteChildren>
  void node(const std::u16string& key, uint16_t type, uint16_t valueLength, const std::vector<uint8_t>& value,
            WriteChildren writeChildren) {
    align();
    size_t start = bytes.size();
    put16(0);  // wLength, known at the end
    put16(valueLength);
    put16(type);
    for (char16_t unit : key) put16(unit);
    put16(0);
    if (!value.empty()) {
      align();
      bytes.insert(bytes.end(), value.begin(), value.end());
    }
    writeChildren();
    if (bytes.size() - start > 0xFFFF)
      throw ScriptError(line_, "the version node \"" + narrow(key) + "\" is longer than 65535 bytes");
    uint16_t length = static_cast<uint16_t>(bytes.size() - start);
    std::memcpy(&bytes[start], &length, sizeof(length));
  }

  void tree(const std::vector<VersionNode>& nodes) {
    for (const VersionNode& child : nodes) {
      switch (child.kind) {
        case VersionNode::Kind::Block:
          node(child.key, kTextType, 0, {}, [&] { tree(child.children); });
          break;
        case VersionNode::Kind::Text: {
          // The text and its NUL, counted in UTF-16 units.
          std::vector<uint8_t> value((child.text.size() + 1) * 2, 0);
          std::memcpy(value.data(), child.text.data(), child.text.size() * 2);
          node(child.key, kTextType, static_cast<uint16_t>(child.text.size() + 1), value, [] {});
          break;
        }
        case VersionNode::Kind::Binary:
          node(child.key, kBinaryType, static_cast<uint16_t>(child.binary.size()), child.binary, [] {});
          break;
      }
    }
  }

  void put16(uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
  }

 private:
  void align() { bytes.resize((bytes.size() + 3) & ~size_t{3}, 0); }
  // For messages: keys are ASCII in practice, anything else shows as '?'.
  static std::string narrow(const std::u16string& text) {
    std::string narrowed;
    for (char16_t unit : text) narrowed += unit < 0x80 ? static_cast<char>(unit) : '?';
    return narrowed;
  }

  int line_;
};

std::vector<uint8_t> fixedInfo(const FixedVersion& fixed) {
  const uint32_t fields[] = {kFixedInfoSignature,
                             kFixedInfoStructVersion,
                             fixed.fileVersionMs,
                             fixed.fileVersionLs,
                             fixed.productVersionMs,
                             fixed.productVersionLs,
                             fixed.flagsMask,
                             fixed.flags,
                             fixed.os,
                             fixed.type,
                             fixed.subtype,
                             0,  // file date, which scripts cannot give
                             0};
  std::vector<uint8_t> bytes(sizeof(fields));
  std::memcpy(bytes.data(), fields, sizeof(fields));
  return bytes;
}

}  // namespace

std::vector<uint8_t> versionResourceData(const VersionResource& resource) {
  NodeWriter writer(resource.line);
  std::vector<uint8_t> fixed = fixedInfo(resource.fixed);
  writer.node(u"VS_VERSION_INFO", kBinaryType, static_cast<uint16_t>(fixed.size()), fixed,
              [&] { writer.tree(resource.children); });
  return writer.bytes;
}

}  // namespace rc
