#include "user/version_block.h"

#include <cstring>
#include <string>

#include "base/system_locale.h"

namespace nrv {

namespace {

constexpr uint8_t kFilledMark[4] = {'A', 'N', 'S', 'I'};
constexpr size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType
constexpr size_t kFixedInfoSize = 52;  // VS_FIXEDFILEINFO
constexpr uint16_t kTextType = 1;

size_t alignUp(size_t offset) { return (offset + 3) & ~size_t{3}; }

uint16_t read16(const uint8_t* at) {
  uint16_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// One node of the VS_VERSIONINFO tree, its parts as offsets into the block.
struct Node {
  size_t end = 0;
  uint16_t type = 0;
  uint16_t valueLength = 0;  // UTF-16 units for text, bytes otherwise
  std::u16string key;
  size_t value = 0;
  size_t valueBytes = 0;
  size_t children = 0;
};

// The node at `begin` that must end by `limit`; false for a damaged one.
bool readNode(const uint8_t* block, size_t begin, size_t limit, Node* node) {
  if (begin > limit || limit - begin < kNodeHeaderSize) return false;
  uint16_t length = read16(block + begin);
  if (length < kNodeHeaderSize || length > limit - begin) return false;
  node->end = begin + length;
  node->valueLength = read16(block + begin + 2);
  node->type = read16(block + begin + 4);
  size_t at = begin + kNodeHeaderSize;
  for (;; at += 2) {
    if (node->end - at < 2) return false;
    char16_t unit = static_cast<char16_t>(read16(block + at));
    if (unit == 0) break;
    node->key += unit;
  }
  node->value = std::min(alignUp(at + 2), node->end);
  node->valueBytes = node->type == kTextType ? size_t{node->valueLength} * 2 : node->valueLength;
  if (node->valueBytes > node->end - node->value) return false;
  node->children = std::min(alignUp(node->value + node->valueBytes), node->end);
  return true;
}

char16_t folded(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 32) : unit;
}

bool sameKey(const std::u16string& left, const std::u16string& right) {
  if (left.size() != right.size()) return false;
  for (size_t index = 0; index < left.size(); index++) {
    if (folded(left[index]) != folded(right[index])) return false;
  }
  return true;
}

// The child of `parent` named `key`; false when none is or the block is damaged.
bool findChild(const uint8_t* block, const Node& parent, const std::u16string& key, Node* found) {
  for (size_t at = parent.children; at < parent.end; at = alignUp(found->end)) {
    *found = Node{};
    if (!readNode(block, at, parent.end, found)) return false;
    if (sameKey(found->key, key)) return true;
  }
  return false;
}

// The ANSI form of a text value, written into the room that mirrors it.
void answerText(uint8_t* block, size_t resourceLength, const Node& node, SystemLocale& locale, void** value,
                UINT* length) {
  uint8_t* room = block + alignUp(resourceLength) + sizeof(kFilledMark) + node.value;
  if (node.valueLength == 0) {
    *value = room;
    *length = 0;
    return;
  }
  // Up to the NUL, and never the last unit, so that the ANSI form and its NUL fit in the room.
  std::u16string text;
  for (size_t index = 0; index + 1 < node.valueLength; index++) {
    char16_t unit = static_cast<char16_t>(read16(block + node.value + 2 * index));
    if (unit == 0) break;
    text += unit;
  }
  std::string ansi = locale.toAnsi(text);
  std::memcpy(room, ansi.c_str(), ansi.size() + 1);
  *value = room;
  *length = static_cast<UINT>(ansi.size() + 1);
}

}  // namespace

size_t versionBlockSize(size_t length) { return alignUp(length) + sizeof(kFilledMark) + length; }

void fillVersionBlock(const std::vector<uint8_t>& resource, uint8_t* block, size_t room) {
  size_t size = versionBlockSize(resource.size());
  std::vector<uint8_t> whole(size, 0);
  std::memcpy(whole.data(), resource.data(), resource.size());
  if (room >= size) std::memcpy(&whole[alignUp(resource.size())], kFilledMark, sizeof(kFilledMark));
  std::memcpy(block, whole.data(), std::min(room, size));
}

size_t filledBlockSize(const uint8_t* block) {
  uint16_t length = read16(block);
  return length < kNodeHeaderSize ? 0 : versionBlockSize(length);
}

bool queryVersionBlock(uint8_t* block, std::string_view path, SystemLocale& locale, void** value,
                       UINT* length) {
  Node node;
  if (!readNode(block, 0, read16(block), &node)) return false;
  if (std::memcmp(block + alignUp(node.end), kFilledMark, sizeof(kFilledMark)) != 0) return false;
  size_t resourceLength = node.end;
  bool root = true;
  for (size_t at = 0; at < path.size();) {
    size_t next = path.find('\\', at);
    if (next == std::string_view::npos) next = path.size();
    if (next > at) {
      Node child;
      if (!findChild(block, node, locale.fromAnsi(path.substr(at, next - at)), &child)) return false;
      node = child;
      root = false;
    }
    at = next + 1;
  }
  if (root) {
    if (node.valueBytes != kFixedInfoSize) return false;
    *value = block + node.value;
    *length = static_cast<UINT>(kFixedInfoSize);
    return true;
  }
  if (node.type == kTextType) {
    answerText(block, resourceLength, node, locale, value, length);
    return true;
  }
  *value = block + node.value;
  *length = node.valueLength;
  return true;
}

}  // namespace nrv
