#include "user/port_info.h"

#include <cstring>

#include "base/text.h"

namespace nrv {

namespace {

size_t recordSize(DWORD level) { return level == 1 ? sizeof(PORT_INFO_1A) : sizeof(PORT_INFO_2A); }

DWORD textSize(const std::optional<std::string>& text) {
  return text ? static_cast<DWORD>(text->size() + 1) : 0;
}

// Moves the free end down by the text and its NUL and copies it there.
LPSTR pack(const std::optional<std::string>& text, LPBYTE* end) {
  if (!text) return nullptr;
  *end -= text->size() + 1;
  std::memcpy(*end, text->c_str(), text->size() + 1);
  return reinterpret_cast<LPSTR>(*end);
}

// A string a record points at: inside the buffer and ended there. False when it is not.
bool unpack(LPCSTR pointer, const uint8_t* buffer, DWORD size, std::optional<std::string>* text) {
  if (pointer == nullptr) {
    text->reset();
    return true;
  }
  auto* at = reinterpret_cast<const uint8_t*>(pointer);
  if (at < buffer || at >= buffer + size) return false;
  size_t room = static_cast<size_t>(buffer + size - at);
  size_t length = strnlen(pointer, room);
  if (length == room) return false;
  *text = std::string(pointer, length);
  return true;
}

}  // namespace

DWORD portInfoSize(DWORD level, const std::vector<PortRecord>& ports) {
  DWORD size = 0;
  for (const PortRecord& port : ports) {
    size += static_cast<DWORD>(recordSize(level)) + textSize(port.name);
    if (level == 2) size += textSize(port.monitor) + textSize(port.description);
  }
  return size;
}

void writePortInfo(DWORD level, const std::vector<PortRecord>& ports, LPBYTE buffer, DWORD size) {
  LPBYTE next = buffer;
  LPBYTE end = buffer + size;
  for (const PortRecord& port : ports) {
    if (level == 1) {
      auto* info = reinterpret_cast<PORT_INFO_1A*>(next);
      info->pName = pack(port.name, &end);
    } else {
      auto* info = reinterpret_cast<PORT_INFO_2A*>(next);
      info->pPortName = pack(port.name, &end);
      info->pMonitorName = pack(port.monitor, &end);
      info->pDescription = pack(port.description, &end);
      info->fPortType = port.type;
      info->Reserved = 0;
    }
    next += recordSize(level);
  }
}

bool readPortInfo(DWORD level, const uint8_t* buffer, DWORD size, DWORD count, std::vector<PortRecord>* ports,
                  std::string* wrong) {
  if (count > size / recordSize(level)) {
    *wrong = format("%u records of %zu bytes do not fit its %u bytes", count, recordSize(level), size);
    return false;
  }
  ports->clear();
  for (DWORD index = 0; index < count; index++) {
    PortRecord port;
    std::optional<std::string> name;
    bool inside;
    if (level == 1) {
      PORT_INFO_1A info;
      std::memcpy(&info, buffer + index * sizeof(info), sizeof(info));
      inside = unpack(info.pName, buffer, size, &name);
    } else {
      PORT_INFO_2A info;
      std::memcpy(&info, buffer + index * sizeof(info), sizeof(info));
      inside = unpack(info.pPortName, buffer, size, &name) &&
               unpack(info.pMonitorName, buffer, size, &port.monitor) &&
               unpack(info.pDescription, buffer, size, &port.description);
      port.type = info.fPortType;
    }
    if (!inside) {
      *wrong = format("a string of record %u lies outside its buffer or runs past its end", index);
      return false;
    }
    if (!name) {
      *wrong = format("record %u names no port", index);
      return false;
    }
    port.name = *name;
    ports->push_back(std::move(port));
  }
  return true;
}

}  // namespace nrv
