// File fingerprints: the plug-in table, the MD5 plug-in, and the reading
// loop that feeds a file's contents to a plug-in.
#include "fingerprint/fp.h"

#include "core/rt.h"
#include "fingerprint/md5.h"
#include "platform/os_file.h"
#include "platform/os_heap.h"

namespace {

FingerprintPlugin g_plugins[FP_PLUGIN_CAPACITY];
std::int32_t g_plugin_count = 0;

// The MD5 plug-in's state: the common block, then the RFC 1321 context.
struct Md5State {
  FingerprintState common;
  Md5Context context;
};

Md5State* md5_state(FingerprintState* state) { return reinterpret_cast<Md5State*>(state); }

// An MD5 digest always has 128 bits, so both arguments are ignored.
FingerprintState* md5_create(std::int32_t, std::uint32_t) {
  auto* s = static_cast<Md5State*>(os_heap_alloc(rt_main_heap(), sizeof(Md5State)));
  if (!s) return nullptr;
  s->common.digest_bits = MD5_DIGEST_BYTES * 8;
  fp_md5_init(&s->context);
  return &s->common;
}

void md5_update(FingerprintState* state, const void* bytes, std::uint32_t count) {
  fp_md5_update(&md5_state(state)->context, bytes, count);
}

void md5_finish(FingerprintState* state) {
  Md5State* s = md5_state(state);
  fp_md5_final(&s->context, s->common.digest);
}

void md5_free(FingerprintState* state) { os_heap_free(rt_main_heap(), state); }

CStr fp_empty() {
  char16_t* out = str_tmp_reserve(0);
  out[0] = 0;
  return out;
}

// The size of the next read: a whole buffer, or what is left of `length`.
// A negative length other than -1 asks for nothing rather than for a read
// larger than the buffer.
std::int32_t fp_chunk(std::int64_t done, std::int64_t length) {
  if (length == -1 || done + FP_READ_BUFFER_BYTES <= length) return FP_READ_BUFFER_BYTES;
  std::int64_t rest = length - done;
  return rest > 0 ? static_cast<std::int32_t>(rest) : 0;
}

// Reads a file for a digest: `length` bytes from `offset`
// on (as fp_file_fingerprint takes them) through `buffer`, of
// FP_READ_BUFFER_BYTES. Every read is fed, the last short or empty one too;
// only a full buffer asks for more. False when a read failed: a digest of
// part of a file must never pass for the file's own.
template <class Feed>
bool fp_read_through(OsFile file, std::uint8_t* buffer, std::int64_t offset, std::int64_t length, Feed feed) {
  if (offset > 0 && os_file_seek(file, offset, OS_SEEK_BEGIN) < 0) return false;
  std::int64_t done = 0;
  for (;;) {
    std::int32_t count = os_file_read(file, buffer, fp_chunk(done, length));
    if (count < 0) return false;
    feed(buffer, count);
    if (count != FP_READ_BUFFER_BYTES) return true;
    done += FP_READ_BUFFER_BYTES;
  }
}

}  // namespace

FingerprintPlugin* fp_register_plugin(std::int32_t id) {
  if (fp_find_plugin(id) || g_plugin_count >= FP_PLUGIN_CAPACITY) return nullptr;
  FingerprintPlugin* entry = &g_plugins[g_plugin_count++];
  *entry = FingerprintPlugin{};
  entry->id = id;
  return entry;
}

FingerprintPlugin* fp_find_plugin(std::int32_t id) {
  for (std::int32_t i = 0; i < g_plugin_count; ++i)
    if (g_plugins[i].id == id) return &g_plugins[i];
  return nullptr;
}

std::int32_t fp_use_md5() {
  if (FingerprintPlugin* entry = fp_register_plugin(FP_PLUGIN_MD5)) {
    entry->create = md5_create;
    entry->update = md5_update;
    entry->finish = md5_finish;
    entry->free = md5_free;
  }
  return 1;
}

CStr fp_file_fingerprint(CStr path, std::int32_t plugin_id, std::int32_t bits, std::int64_t offset,
                         std::int64_t length) {
  const FingerprintPlugin* plugin = fp_find_plugin(plugin_id);
  // An entry registered but never given its operations cannot fingerprint.
  if (!plugin || !path || !plugin->create || !plugin->update || !plugin->finish || !plugin->free)
    return fp_empty();

  OsFile file = os_file_open_read(path, true);
  if (file == OS_NO_FILE) return fp_empty();
  auto* buffer = static_cast<std::uint8_t*>(os_heap_alloc(rt_main_heap(), FP_READ_BUFFER_BYTES));
  if (!buffer) {
    os_file_close(file);
    return fp_empty();
  }
  FingerprintState* state = plugin->create(bits, 0);
  if (!state) {
    os_heap_free(rt_main_heap(), buffer);
    os_file_close(file);
    return fp_empty();
  }

  bool whole = fp_read_through(file, buffer, offset, length, [&](const std::uint8_t* bytes, std::int32_t count) {
    plugin->update(state, bytes, static_cast<std::uint32_t>(count));
  });
  plugin->finish(state);

  os_heap_free(rt_main_heap(), buffer);
  os_file_close(file);
  CStr result = whole ? fp_digest_hex(state) : fp_empty();
  plugin->free(state);
  return result;
}

CStr fp_digest_hex(const FingerprintState* state) {
  std::int32_t n = state ? state->digest_bits / 8 : 0;
  if (n <= 0) return fp_empty();
  // A plug-in cannot make the text read past the digest field.
  if (n > FP_DIGEST_MAX_BYTES) n = FP_DIGEST_MAX_BYTES;
  char16_t* out = str_tmp_reserve(2 * n);
  static constexpr char16_t hex[] = u"0123456789abcdef";
  for (std::int32_t i = 0; i < n; ++i) {
    out[2 * i] = hex[state->digest[i] >> 4];
    out[2 * i + 1] = hex[state->digest[i] & 15];
  }
  out[2 * n] = 0;
  return out;
}
