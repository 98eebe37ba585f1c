// Vexolan's file list: directories and names in blocks of words. A file's
// entry is one word with its directory's pointer, then its name and a
// terminator; a directory's entry is its path and a terminator.
#include "dupfiles/file_list.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/arr.h"
#include "core/rt.h"
#include "platform/os_heap.h"

namespace {

constexpr std::size_t BLOCK_WORDS = 16384;

std::size_t file_list_words(std::size_t units) {
  return ((units + 1) * sizeof(char16_t) + sizeof(const void*) - 1) / sizeof(const void*);
}

}  // namespace

CStr listed_dir(const ListedFile* file) {
  CStr dir;
  std::memcpy(&dir, static_cast<const void*>(file), sizeof dir);
  return dir;
}

CStr listed_name(const ListedFile* file) {
  return reinterpret_cast<CStr>(reinterpret_cast<const char*>(file) + sizeof(const void*));
}

std::u16string listed_path(const ListedFile* file) {
  std::u16string path = listed_dir(file);
  path += listed_name(file);
  return path;
}

void FileList::HeapFree::operator()(Word* block) const { os_heap_free(rt_main_heap(), block); }

void FileList::clear() {
  files_.assign(1, nullptr);
  files_.shrink_to_fit();
  blocks_.clear();
  blocks_.shrink_to_fit();
  next_ = nullptr;
  free_ = 0;
}

FileList::Word* FileList::take(std::size_t words) {
  if (words > free_) {
    const std::size_t size = std::max(words, BLOCK_WORDS);
    blocks_.reserve(blocks_.size() + 1);
    void* block = os_heap_alloc(rt_main_heap(), size * sizeof(Word));
    if (!block) throw std::bad_alloc();
    blocks_.emplace_back(static_cast<Word*>(block));
    next_ = blocks_.back().get();
    free_ = size;
  }
  Word* at = next_;
  next_ += words;
  free_ -= words;
  return at;
}

CStr FileList::add_dir(CStr path, std::size_t units) {
  auto* text = reinterpret_cast<char16_t*>(take(file_list_words(units)));
  std::memcpy(text, path, units * sizeof(char16_t));
  text[units] = 0;
  return text;
}

const ListedFile* FileList::add_file(CStr dir, CStr name, std::size_t units) {
  Word* entry = take(1 + file_list_words(units));
  std::memcpy(entry, &dir, sizeof dir);
  auto* text = reinterpret_cast<char16_t*>(entry + 1);
  std::memcpy(text, name, units * sizeof(char16_t));
  text[units] = 0;
  return reinterpret_cast<const ListedFile*>(entry);
}

void FileList::redim(std::int32_t count) {
  const std::size_t n = static_cast<std::size_t>(std::max(count, 1));
  const bool cut = n < files_.size();
  files_.resize(n, nullptr);
  if (cut) files_.shrink_to_fit();  // the list's end, as the collector sets it once
}

void FileList::sort(std::int32_t first, std::int32_t last, bool slash_as_backslash, std::size_t common) {
  // A directory's files were added one after another: each directory is
  // checked once, where the element before had another.
  CStr shared = first <= last ? listed_dir(files_[static_cast<std::size_t>(first)]) : nullptr;
  CStr checked = shared;
  for (std::int32_t i = first; i <= last && common > 0; ++i) {
    CStr dir = listed_dir(files_[static_cast<std::size_t>(i)]);
    if (dir == checked) continue;
    checked = dir;
    std::size_t k = 0;
    while (k < common && dir[k] != 0 && dir[k] == shared[k]) ++k;
    if (k < common) common = 0;
  }
  sort_by(files_.data(), first, last, [slash_as_backslash, common](const ListedFile* a, const ListedFile* b) {
    if (listed_dir(a) == listed_dir(b)) {
      return slash_as_backslash ? str_cmp_nocase_path(listed_name(a), listed_name(b))
                                : str_cmp_nocase(listed_name(a), listed_name(b));
    }
    return str_cmp_nocase_joined(listed_dir(a) + common, listed_name(a), listed_dir(b) + common, listed_name(b),
                                 slash_as_backslash);
  });
}
