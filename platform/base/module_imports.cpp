#include "base/module_imports.h"

#include <dlfcn.h>
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace nrv {

namespace {

struct DynamicSymbols {
  std::set<std::string> defined;
  std::vector<std::string> undefined;  // in table order
};

template <typename T>
const T* at(const std::vector<char>& file, uint64_t offset, uint64_t count = 1) {
  if (offset > file.size() || count > (file.size() - offset) / sizeof(T)) return nullptr;
  return reinterpret_cast<const T*>(file.data() + offset);
}

// Weak references are optional hooks of the C runtime, and a sanitizer build
// adds its runtime's calls: neither is an import of the module's own code.
bool isImport(const Elf64_Sym& symbol, const char* name) {
  if (ELF64_ST_BIND(symbol.st_info) == STB_WEAK || name[0] == 0) return false;
  for (const char* prefix : {"__asan", "__ubsan", "__tsan", "__sanitizer", "__lsan"}) {
    if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return false;
  }
  return true;
}

// The dynamic symbol table of a 64-bit ELF file; nothing when it is none.
std::optional<DynamicSymbols> readDynamicSymbols(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::vector<char> file((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  const auto* header = at<Elf64_Ehdr>(file, 0);
  if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shentsize != sizeof(Elf64_Shdr))
    return std::nullopt;
  const auto* sections = at<Elf64_Shdr>(file, header->e_shoff, header->e_shnum);
  if (sections == nullptr) return std::nullopt;
  DynamicSymbols symbols;
  for (unsigned index = 0; index < header->e_shnum; index++) {
    const Elf64_Shdr& table = sections[index];
    if (table.sh_type != SHT_DYNSYM || table.sh_link >= header->e_shnum) continue;
    const Elf64_Shdr& strings = sections[table.sh_link];
    const auto* entries = at<Elf64_Sym>(file, table.sh_offset, table.sh_size / sizeof(Elf64_Sym));
    const auto* names = at<char>(file, strings.sh_offset, strings.sh_size);
    if (entries == nullptr || names == nullptr || strings.sh_size == 0 || names[strings.sh_size - 1] != 0)
      return std::nullopt;
    for (uint64_t entry = 0; entry < table.sh_size / sizeof(Elf64_Sym); entry++) {
      const Elf64_Sym& symbol = entries[entry];
      if (symbol.st_name >= strings.sh_size) return std::nullopt;
      const char* name = names + symbol.st_name;
      if (symbol.st_shndx != SHN_UNDEF) {
        symbols.defined.insert(name);
      } else if (isImport(symbol, name)) {
        symbols.undefined.push_back(name);
      }
    }
  }
  return symbols;
}

// A provider's exports, read once per file.
const std::set<std::string>& exportsOf(const std::string& provider) {
  static std::mutex lock;
  static std::map<std::string, std::set<std::string>> read;
  std::lock_guard<std::mutex> guard(lock);
  auto found = read.find(provider);
  if (found == read.end()) {
    std::optional<DynamicSymbols> symbols = readDynamicSymbols(provider);
    found = read.emplace(provider, symbols ? symbols->defined : std::set<std::string>{}).first;
  }
  return found->second;
}

}  // namespace

std::string checkModuleImports(const std::string& modulePath, const ImportRule& rule) {
  std::optional<DynamicSymbols> symbols = readDynamicSymbols(modulePath);
  if (!symbols) return "";
  const std::set<std::string>& provided = exportsOf(rule.provider);
  for (const std::string& name : symbols->undefined) {
    if (provided.count(name) == 0 && rule.alsoExported.count(name) == 0)
      return "it imports " + name + ", which is no " + rule.moduleKind + " routine";
  }
  return "";
}

std::string libraryFileOf(const void* routine) {
  Dl_info info{};
  if (dladdr(routine, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

}  // namespace nrv
