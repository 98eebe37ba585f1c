// Vexolan's file list: the collected files at indexes 1, 2, ... (index 0
// stays empty), each held as the path of its directory, stored once for
// all the files of that directory, and its own name. A file costs its name
// and two pointers rather than a copy of its whole path; the texts lie in
// blocks that never move, so a file handed to another thread stays valid
// while the list grows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/str.h"

// A file of the list: its directory's path (with its trailing separator)
// and its name, read with the functions below. Fixed while its list lives;
// readable on any thread.
struct ListedFile;

CStr listed_dir(const ListedFile* file);
CStr listed_name(const ListedFile* file);
// The full path: the directory's path and the name. Throws std::bad_alloc.
std::u16string listed_path(const ListedFile* file);

class FileList {
 public:
  FileList() { clear(); }
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Empties the list (one empty element, index 0) and releases its texts.
  void clear();

  // Stores a directory's path of `units` units (with its trailing
  // separator) and gives the copy. Throws std::bad_alloc.
  CStr add_dir(CStr path, std::size_t units);
  // Stores a file of `dir` (a copy add_dir gave) named `name` of `units`
  // units. Throws std::bad_alloc.
  const ListedFile* add_file(CStr dir, CStr name, std::size_t units);

  // Sets the element count, index 0 included: added elements are null.
  // Throws std::bad_alloc.
  void redim(std::int32_t count);
  std::int32_t size() const { return static_cast<std::int32_t>(files_.size()) - 1; }  // the highest index
  const ListedFile*& operator[](std::int32_t i) { return files_[static_cast<std::size_t>(i)]; }
  const ListedFile* operator[](std::int32_t i) const { return files_[static_cast<std::size_t>(i)]; }
  const ListedFile* const* data() const { return files_.data(); }

  // Orders elements first..last by their full paths as sort_array orders
  // strings with SORT_NO_CASE (and SORT_SLASH_AS_BACKSLASH when asked).
  // `common`: units that every directory's path of those elements may
  // begin with alike (the scanned directory's), which the comparisons then
  // pass over; where they do not all, none are passed over.
  void sort(std::int32_t first, std::int32_t last, bool slash_as_backslash, std::size_t common = 0);

 private:
  // Pointer-sized words, so that each file's directory pointer is aligned.
  using Word = const void*;
  Word* take(std::size_t words);

  // Blocks on the main heap, as the run's other texts are.
  struct HeapFree {
    void operator()(Word* block) const;
  };
  std::vector<std::unique_ptr<Word[], HeapFree>> blocks_;
  Word* next_ = nullptr;  // the first free word of the last block
  std::size_t free_ = 0;  // words left there
  std::vector<const ListedFile*> files_;
};
