// Quorith's bounded path: a file whose distinct lines would outgrow the
// memory at hand is settled through temporary files beside its output, in
// three passes whatever its size, with the result and the console lines of
// the in-memory path.
#pragma once
#include <cstdint>

#include "core/obj.h"
#include "core/str.h"
#include "textfile/txt.h"

// Why a file was given up; Spill: its distinct lines outgrow the memory,
// and the bounded path takes the file over.
enum class QuorithFailure { None, Read, Write, Memory, Spill };

// The passes' own files are numbered from here on; the job's files come
// before.
constexpr ObjectId QUORITH_DISK_FIRST_FILE = 16;

struct QuorithDiskJob {
  ObjectId input;           // open; its lines start at data_start; numbered below QUORITH_DISK_FIRST_FILE
  ObjectId output;          // an empty replacement of output_path, open; numbered as the input
  CStr output_path;         // the temporary files go beside it
  TxtNameCheck usable;      // names the temporary files may not have
  std::int32_t format;      // of the input and the output
  bool bytes;               // its lines are taken as their bytes (txt_bytes_are_text)
  std::int64_t data_start;  // input position of the first line
  std::int64_t input_bytes;
  std::int64_t budget;     // bytes the lines of one partition may take in the line set
  std::int64_t announced;  // lines whose progress lines were printed already
  void (*progress)();      // prints the progress line of the counters
};

// The passes: every line by its hash into one of a number of partition
// files with its line number, each partition settled in the line set (the
// first occurrence of each line kept), then the input once more, its kept
// lines written in order. lines_read and lines_removed and the progress
// lines past `announced` come as the in-memory path gives them. Every
// temporary file is deleted before it returns.
QuorithFailure quorith_disk_lines(const QuorithDiskJob& job);
