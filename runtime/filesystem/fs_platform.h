// File system, for the run-time's own modules that hold platform files: the
// one conversion of the platform's stamps and identities into the module's.
#pragma once
#include "filesystem/fs.h"
#include "platform/os_fs.h"

inline FsFileIdentity fs_identity_of(const OsFileIdentity& id) { return {id.volume, id.index}; }

inline FsFileStamp fs_stamp_of(const OsFileStamp& s) {
  return {fs_identity_of(s.identity), s.size, s.write_time, s.change_time};
}
