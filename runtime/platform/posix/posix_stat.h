// POSIX backend: a file's identity and stamp from what stat gives.
#pragma once
#include <sys/stat.h>

#include <cstdint>

#include "platform/os_fs.h"

inline OsFileIdentity posix_identity(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

inline void posix_stamp(const struct stat& st, OsFileStamp* stamp) {
  stamp->identity = posix_identity(st);
  stamp->size = static_cast<std::int64_t>(st.st_size);
  stamp->write_time = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp->change_time = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// What the last open for reading on this thread saw of its file, kept until
// the file is first stamped, read or closed: a stamp asked for right after
// the open is that one, without asking the system again.
struct PosixOpened {
  int fd = -1;
  struct stat st;
};
PosixOpened& posix_opened();
