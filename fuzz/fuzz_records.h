// A fuzzer's input as a list of records: a tag byte, a 16-bit little-endian
// length and that many bytes (fewer when the input ends first). A seed can
// then hold whole descriptors, replies and files, and a mutation of one
// record leaves the others as they were.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct FuzzRecord {
  uint8_t tag = 0;
  std::vector<uint8_t> bytes;

  std::string text() const { return std::string(bytes.begin(), bytes.end()); }
  // The text up to its first zero byte, as a C string holds it.
  std::string cString() const { return std::string(text().c_str()); }
  uint8_t byte(size_t index, uint8_t otherwise = 0) const {
    return index < bytes.size() ? bytes[index] : otherwise;
  }
  uint16_t word(size_t index, uint16_t otherwise = 0) const {
    if (index + 1 >= bytes.size()) return otherwise;
    return static_cast<uint16_t>(bytes[index] | bytes[index + 1] << 8);
  }
  uint32_t dword(size_t index, uint32_t otherwise = 0) const {
    if (index + 3 >= bytes.size()) return otherwise;
    return static_cast<uint32_t>(word(index) | static_cast<uint32_t>(word(index + 2)) << 16);
  }
};

inline std::vector<FuzzRecord> readRecords(const uint8_t* data, size_t size) {
  std::vector<FuzzRecord> records;
  size_t at = 0;
  while (at < size) {
    FuzzRecord record;
    record.tag = data[at++];
    size_t length = 0;
    if (at < size) length = data[at++];
    if (at < size) length |= static_cast<size_t>(data[at++]) << 8;
    if (length > size - at) length = size - at;
    record.bytes.assign(data + at, data + at + length);
    at += length;
    records.push_back(std::move(record));
  }
  return records;
}

// A fault the fuzzer found in what it checks itself (the machine's verifier
// stops on its own): reported, then the process ends as on a crash.
[[noreturn]] inline void fuzzFinding(const std::string& what) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
  std::abort();
}
