#include "user/image_section.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace nrv {

namespace {

template <typename Record>
bool recordAt(const std::vector<uint8_t>& file, uint64_t offset, Record* record) {
  if (offset > file.size() || file.size() - offset < sizeof(Record)) return false;
  std::memcpy(record, &file[offset], sizeof(Record));
  return true;
}

bool inFile(const std::vector<uint8_t>& file, uint64_t offset, uint64_t size) {
  return offset <= file.size() && size <= file.size() - offset;
}

}  // namespace

bool readImageSection(const std::string& path, std::string_view name, ImageSection* section,
                      std::string* failure) {
  std::ifstream input(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  Elf64_Ehdr header;
  if (!recordAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    *failure = "it is not a 64-bit ELF image";
    return false;
  }
  Elf64_Shdr names;
  if (header.e_shstrndx == SHN_UNDEF ||
      !recordAt(file, header.e_shoff + uint64_t{header.e_shstrndx} * sizeof(Elf64_Shdr), &names) ||
      !inFile(file, names.sh_offset, names.sh_size)) {
    *failure = "its section names cannot be read";
    return false;
  }
  for (uint64_t index = 0; index < header.e_shnum; index++) {
    Elf64_Shdr candidate;
    if (!recordAt(file, header.e_shoff + index * sizeof(Elf64_Shdr), &candidate)) {
      *failure = "its section table is cut short";
      return false;
    }
    if (candidate.sh_name >= names.sh_size) continue;
    const char* candidateName = reinterpret_cast<const char*>(&file[names.sh_offset + candidate.sh_name]);
    size_t room = names.sh_size - candidate.sh_name;
    if (strnlen(candidateName, room) != name.size() ||
        std::memcmp(candidateName, name.data(), name.size()) != 0)
      continue;
    if (candidate.sh_type == SHT_NOBITS || !inFile(file, candidate.sh_offset, candidate.sh_size)) {
      *failure = "its section " + std::string(name) + " lies outside the file";
      return false;
    }
    section->found = true;
    section->bytes.assign(file.begin() + static_cast<ptrdiff_t>(candidate.sh_offset),
                          file.begin() + static_cast<ptrdiff_t>(candidate.sh_offset + candidate.sh_size));
    return true;
  }
  section->found = false;
  return true;
}

}  // namespace nrv
