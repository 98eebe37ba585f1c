// The programs' version record on systems whose executables have no
// resource section: an ELF note named "Orlethe" whose descriptor holds the
// fields as NUL-separated "Key=Value" texts. Read it with
// `readelf -p .note.orlethe.version PROGRAM`.
#pragma once
#include <cstddef>
#include <cstdint>

template <std::size_t N>
struct VersionNote {
  static constexpr std::uint32_t DESC_SIZE = (N + 3) & ~std::uint32_t{3};
  std::uint32_t name_size = 8;
  std::uint32_t desc_size = DESC_SIZE;
  std::uint32_t type = 1;
  char name[8] = {'O', 'r', 'l', 'e', 't', 'h', 'e', 0};
  char desc[DESC_SIZE] = {};
  constexpr explicit VersionNote(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) desc[i] = text[i];
  }
};

// The maker's web address, shown on the banner line after "@ ".
inline constexpr char16_t ORLETHE_WEB_ADDRESS[] = u"https://orlethe.example";
