#pragma once

// Just enough of an ELF reader to check what a shared library exports and
// needs: the identification, the defined global dynamic symbols and DT_NEEDED.

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

struct ElfSummary {
  unsigned char elf_class = 0;                       // ELFCLASS32 / ELFCLASS64
  unsigned char data = 0;                            // ELFDATA2LSB / ELFDATA2MSB
  std::uint16_t machine = 0;                         // EM_*
  std::vector<std::string> defined_dynamic_symbols;  // global and weak, not local
  std::vector<std::string> needed;
};

namespace elf_detail {

template <typename T>
T Read(const std::vector<char>& file, std::uint64_t offset) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) {
    throw std::runtime_error("ELF structure outside the file");
  }
  T value;
  std::memcpy(&value, file.data() + static_cast<std::size_t>(offset), sizeof value);
  return value;
}

inline std::string String(const std::vector<char>& file, std::uint64_t offset) {
  if (offset >= file.size()) throw std::runtime_error("ELF string outside the file");
  const auto start = static_cast<std::size_t>(offset);  // below file.size(), so it fits size_t
  return std::string(file.data() + start, strnlen(file.data() + start, file.size() - start));
}

template <typename Ehdr, typename Shdr, typename Sym, typename Dyn>
void Summarise(const std::vector<char>& file, ElfSummary& out) {
  const auto header = Read<Ehdr>(file, 0);
  out.machine = header.e_machine;
  auto section = [&](std::size_t i) { return Read<Shdr>(file, header.e_shoff + i * sizeof(Shdr)); };
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Shdr shdr = section(i);
    if (shdr.sh_type != SHT_DYNSYM && shdr.sh_type != SHT_DYNAMIC) continue;
    const Shdr strings = section(shdr.sh_link);
    if (shdr.sh_type == SHT_DYNSYM) {
      for (std::uint64_t at = sizeof(Sym); at < shdr.sh_size; at += sizeof(Sym)) {
        const Sym sym = Read<Sym>(file, shdr.sh_offset + at);
        // Local entries are no exports: other objects never bind to them. The
        // MIPS linker keeps one, the unnamed section symbol of .init. (Both ELF
        // classes keep the binding in the same bits of st_info.)
        if (sym.st_shndx == SHN_UNDEF || ELF32_ST_BIND(sym.st_info) == STB_LOCAL) continue;
        out.defined_dynamic_symbols.push_back(String(file, strings.sh_offset + sym.st_name));
      }
    } else {
      for (std::uint64_t at = 0; at < shdr.sh_size; at += sizeof(Dyn)) {
        const Dyn dyn = Read<Dyn>(file, shdr.sh_offset + at);
        if (dyn.d_tag == DT_NULL) break;
        if (dyn.d_tag == DT_NEEDED) {
          out.needed.push_back(String(file, strings.sh_offset + dyn.d_un.d_val));
        }
      }
    }
  }
}

}  // namespace elf_detail

inline ElfSummary ReadElf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)), {});
  if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
    throw std::runtime_error(path + " is not an ELF file");
  }
  ElfSummary out;
  out.elf_class = static_cast<unsigned char>(file[EI_CLASS]);
  out.data = static_cast<unsigned char>(file[EI_DATA]);
  if (out.elf_class == ELFCLASS64) {
    elf_detail::Summarise<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn>(file, out);
  } else {
    elf_detail::Summarise<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn>(file, out);
  }
  return out;
}
