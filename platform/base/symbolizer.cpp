#include "base/symbolizer.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

namespace {

struct FunctionSymbol {
  uint64_t size;
  std::string name;
};

// Function symbols of one ELF file, by address relative to its load base.
using SymbolTable = std::map<uint64_t, FunctionSymbol>;

std::string demangle(const char* name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string text(plain);
  std::free(plain);
  // Drop the parameter list: the last balanced "(...)", since names in an
  // anonymous namespace begin with a parenthesis of their own.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return text;
  int depth = 0;
  for (size_t index = close + 1; index-- > 0;) {
    if (text[index] == ')') depth++;
    if (text[index] == '(' && --depth == 0) return text.substr(0, index);
  }
  return text;
}

SymbolTable readSymbols(const std::string& path) {
  SymbolTable table;
  std::ifstream file(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (image.size() < sizeof(Elf64_Ehdr)) return table;
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64) return table;
  uint64_t sectionsEnd = header->e_shoff + uint64_t(header->e_shnum) * sizeof(Elf64_Shdr);
  if (sectionsEnd > image.size()) return table;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
  for (int index = 0; index < header->e_shnum; index++) {
    const Elf64_Shdr& section = sections[index];
    if (section.sh_type != SHT_SYMTAB || section.sh_link >= header->e_shnum) continue;
    const Elf64_Shdr& strings = sections[section.sh_link];
    if (section.sh_offset + section.sh_size > image.size() || strings.sh_offset + strings.sh_size > image.size())
      continue;
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(image.data() + section.sh_offset);
    size_t count = section.sh_size / sizeof(Elf64_Sym);
    for (size_t s = 0; s < count; s++) {
      if (ELF64_ST_TYPE(symbols[s].st_info) != STT_FUNC || symbols[s].st_value == 0) continue;
      if (symbols[s].st_name >= strings.sh_size) continue;
      const char* name = image.data() + strings.sh_offset + symbols[s].st_name;
      table[symbols[s].st_value] = FunctionSymbol{symbols[s].st_size, demangle(name)};
    }
  }
  return table;
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string describeCodeAddress(const void* address) {
  static std::mutex lock;
  static std::map<std::string, SymbolTable> tables;

  Dl_info info{};
  link_map* module = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 || module == nullptr) {
    return format("%p", address);
  }
  std::string path = info.dli_fname != nullptr ? info.dli_fname : "?";
  uint64_t offset = reinterpret_cast<uint64_t>(address) - module->l_addr;

  std::lock_guard<std::mutex> guard(lock);
  auto found = tables.find(path);
  if (found == tables.end()) found = tables.emplace(path, readSymbols(path)).first;
  const SymbolTable& table = found->second;
  auto symbol = table.upper_bound(offset);
  if (symbol != table.begin()) {
    --symbol;
    if (offset < symbol->first + std::max<uint64_t>(symbol->second.size, 1)) {
      uint64_t into = offset - symbol->first;
      std::string name = baseName(path) + "!" + symbol->second.name;
      return into == 0 ? name : name + format("+0x%llx", static_cast<unsigned long long>(into));
    }
  }
  return format("%s+0x%llx", baseName(path).c_str(), static_cast<unsigned long long>(offset));
}

}  // namespace nrv
