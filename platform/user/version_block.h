// The block GetFileVersionInfoA fills and VerQueryValueA reads. It holds, in
// order: the file's VS_VERSIONINFO as the file holds it (n bytes, texts in
// UTF-16), padded to 32 bits; a 4-byte mark saying the block was filled
// whole; and n bytes of room where VerQueryValueA puts the ANSI form of a
// text value at the offset its UTF-16 form has in the resource. An ANSI text
// never takes more bytes than its UTF-16 form (at most two per unit, one for
// the NUL), so every value has room of its own, and asking for it again
// gives the same pointer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nrv {

class SystemLocale;

// The size of the block for a resource (its VS_VERSIONINFO) of `length` bytes.
size_t versionBlockSize(size_t length);

// Copies what fits of the block into `room` bytes at `block`; the mark only when all of it does.
void fillVersionBlock(const std::vector<uint8_t>& resource, uint8_t* block, size_t room);

// The size a filled block takes in memory, read from its first bytes; 0 for too short a VS_VERSIONINFO.
size_t filledBlockSize(const uint8_t* block);

// "\" (the fixed part), "\VarFileInfo\Translation", "\StringFileInfo\<block>\<name>": keys
// compare without regard to case. A text comes in the ANSI code page and its length counts
// its characters with the NUL; a binary value's length counts bytes. False for a block
// without the mark, a path that names nothing and a damaged block.
bool queryVersionBlock(uint8_t* block, std::string_view path, SystemLocale& locale, void** value,
                       UINT* length);

}  // namespace nrv
