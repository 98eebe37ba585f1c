// File fingerprints and MD5: known answers, incremental hashing, the reading
// loop over files around the buffer size, ranges and failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fingerprint/fp.h"
#include "fingerprint/md5.h"
#include "platform/os_file.h"
#include "platform/os_seam.h"

namespace {

constexpr std::int32_t MiB = FP_READ_BUFFER_BYTES;

std::string hex(const std::uint8_t* bytes, int n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

std::string md5_hex(const void* data, std::size_t n) {
  std::uint8_t d[MD5_DIGEST_BYTES];
  fp_md5(data, n, d);
  return hex(d, MD5_DIGEST_BYTES);
}

std::string narrow(CStr s) {
  std::string out;
  for (; s && *s; ++s) out += static_cast<char>(*s < 128 ? *s : '?');
  return out;
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = 12345;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

// A file in the working directory, removed when the test ends.
class TempFile {
 public:
  TempFile(const std::string& name, const std::vector<std::uint8_t>& data) : name_(name) {
    OsFile f = os_file_create(wide(name).c_str());
    EXPECT_NE(f, OS_NO_FILE);
    if (!data.empty()) {
      EXPECT_EQ(os_file_write(f, data.data(), static_cast<std::int32_t>(data.size())),
                static_cast<std::int32_t>(data.size()));
    }
    os_file_close(f);
  }
  ~TempFile() { std::remove(name_.c_str()); }
  std::u16string path() const { return wide(name_); }

 private:
  std::string name_;
};

std::string file_md5(const std::u16string& path, std::int64_t offset = 0, std::int64_t length = -1) {
  return narrow(fp_file_fingerprint(path.c_str(), FP_PLUGIN_MD5, 0, offset, length));
}

TEST(Md5, Rfc1321TestSuite) {
  const char* const cases[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(md5_hex(c[0], std::strlen(c[0])), c[1]) << '"' << c[0] << '"';
  // Many blocks, and lengths on both sides of the 56-byte padding limit.
  std::string million(1000000, 'a');
  EXPECT_EQ(md5_hex(million.data(), million.size()), "7707d6ae4e027c70eea2a935c2296f21");
  EXPECT_EQ(md5_hex(million.data(), 55), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(md5_hex(million.data(), 56), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(md5_hex(million.data(), 64), "014842d480b571495a4a0363793f7367");
}

TEST(Md5, IncrementalPiecesEqualOneShot) {
  std::vector<std::uint8_t> data = pattern(200000);
  std::string expected = md5_hex(data.data(), data.size());
  for (std::size_t piece : {1u, 3u, 7u, 55u, 63u, 64u, 65u, 127u, 1000u, 4097u}) {
    Md5Context ctx;
    fp_md5_init(&ctx);
    std::size_t at = 0;
    // Vary the piece size so that pieces start at every offset in a block.
    for (std::size_t k = 0; at < data.size(); ++k) {
      std::size_t n = std::min(piece + k % 5, data.size() - at);
      fp_md5_update(&ctx, data.data() + at, n);
      fp_md5_update(&ctx, nullptr, 0);
      at += n;
    }
    std::uint8_t d[MD5_DIGEST_BYTES];
    fp_md5_final(&ctx, d);
    EXPECT_EQ(hex(d, MD5_DIGEST_BYTES), expected) << "piece " << piece;
    // The context is cleared by finalisation.
    Md5Context zero{};
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
  }
}

// A plug-in that records the size of every update, to check the loop itself.
std::vector<std::uint32_t> g_updates;
FingerprintState g_counting_state;
FingerprintState* counting_create(std::int32_t, std::uint32_t) {
  g_updates.clear();
  g_counting_state = FingerprintState{};
  g_counting_state.digest_bits = 8;
  return &g_counting_state;
}
void counting_update(FingerprintState*, const void*, std::uint32_t count) { g_updates.push_back(count); }
void counting_finish(FingerprintState* s) { s->digest[0] = static_cast<std::uint8_t>(g_updates.size()); }
void counting_free(FingerprintState*) {}

// Registers the recording plug-in under this id, or finds it registered.
constexpr std::int32_t COUNTING_ID = 42;
void install_counting() {
  FingerprintPlugin* p = fp_register_plugin(COUNTING_ID);
  if (!p) p = fp_find_plugin(COUNTING_ID);
  ASSERT_NE(p, nullptr);
  *p = FingerprintPlugin{COUNTING_ID, counting_create, counting_update, counting_finish, counting_free};
}

TEST(Fingerprint, PluginTable) {
  install_counting();  // before the table is filled up below
  EXPECT_EQ(fp_use_md5(), 1);
  FingerprintPlugin* md5 = fp_find_plugin(FP_PLUGIN_MD5);
  ASSERT_NE(md5, nullptr);
  auto create = md5->create;
  EXPECT_EQ(fp_use_md5(), 1);
  EXPECT_EQ(fp_find_plugin(FP_PLUGIN_MD5), md5);
  EXPECT_EQ(md5->create, create);
  EXPECT_EQ(fp_register_plugin(FP_PLUGIN_MD5), nullptr);
  EXPECT_EQ(fp_find_plugin(2), nullptr);

  // An entry without operations cannot fingerprint anything.
  FingerprintPlugin* bare = fp_register_plugin(7);
  if (!bare) bare = fp_find_plugin(7);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->id, 7);
  EXPECT_EQ(bare->create, nullptr);
  TempFile f("fp_test_table.bin", pattern(100));
  EXPECT_EQ(narrow(fp_file_fingerprint(f.path().c_str(), 7)), "");

  // The table holds 64 entries; registering more changes nothing.
  std::int32_t added = 0;
  for (std::int32_t id = 1000; id < 1100; ++id)
    if (fp_register_plugin(id)) ++added;
  EXPECT_LT(added, FP_PLUGIN_CAPACITY);
  EXPECT_EQ(fp_register_plugin(5000), nullptr);
  EXPECT_EQ(fp_find_plugin(5000), nullptr);
  EXPECT_EQ(fp_find_plugin(FP_PLUGIN_MD5), md5);
  EXPECT_EQ(file_md5(f.path()), md5_hex(pattern(100).data(), 100));
}

TEST(Fingerprint, FilesAroundTheBufferSize) {
  fp_use_md5();
  std::vector<std::uint8_t> data = pattern(2 * MiB + 3);
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t(MiB - 1), std::size_t(MiB),
                           std::size_t(MiB + 1), std::size_t(2 * MiB), std::size_t(2 * MiB + 3)}) {
    std::vector<std::uint8_t> contents(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
    TempFile f("fp_test_size.bin", contents);
    std::string digest = file_md5(f.path());
    EXPECT_EQ(digest, md5_hex(contents.data(), size)) << "size " << size;
    EXPECT_EQ(digest.size(), 32u);
    EXPECT_EQ(digest.find_first_of("ABCDEF"), std::string::npos);
  }
  TempFile empty("fp_test_empty.bin", {});
  EXPECT_EQ(file_md5(empty.path()), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Fingerprint, OffsetAndLength) {
  fp_use_md5();
  std::vector<std::uint8_t> data = pattern(MiB + 100);
  TempFile f("fp_test_range.bin", data);
  const std::string empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";
  EXPECT_EQ(file_md5(f.path(), 10, 5), md5_hex(data.data() + 10, 5));
  EXPECT_EQ(file_md5(f.path(), 0, 0), empty_md5);
  EXPECT_EQ(file_md5(f.path(), MiB + 100, -1), empty_md5);
  EXPECT_EQ(file_md5(f.path(), 5LL << 32, -1), empty_md5);
  // An offset of 0 or below reads from the start.
  EXPECT_EQ(file_md5(f.path(), -7, 5), md5_hex(data.data(), 5));
  // Ranges that end on, before and after a buffer boundary, or past the end.
  EXPECT_EQ(file_md5(f.path(), 0, MiB), md5_hex(data.data(), MiB));
  EXPECT_EQ(file_md5(f.path(), 50, MiB), md5_hex(data.data() + 50, MiB));
  EXPECT_EQ(file_md5(f.path(), 3, MiB + 10), md5_hex(data.data() + 3, MiB + 10));
  EXPECT_EQ(file_md5(f.path(), 99, 5LL * MiB), md5_hex(data.data() + 99, data.size() - 99));
  // Any other negative length reads nothing rather than overrunning the buffer.
  EXPECT_EQ(file_md5(f.path(), 0, -2), empty_md5);
  EXPECT_EQ(file_md5(f.path(), 0, -5LL * MiB), empty_md5);
}

TEST(Fingerprint, EveryReadIsFedAndAFullBufferAsksForMore) {
  install_counting();
  constexpr std::int32_t id = COUNTING_ID;

  TempFile exact("fp_test_exact.bin", pattern(MiB));
  EXPECT_EQ(narrow(fp_file_fingerprint(exact.path().c_str(), id)), "02");
  EXPECT_EQ(g_updates, (std::vector<std::uint32_t>{std::uint32_t(MiB), 0}));
  fp_file_fingerprint(exact.path().c_str(), id, 0, 1, -1);
  EXPECT_EQ(g_updates, (std::vector<std::uint32_t>{std::uint32_t(MiB - 1)}));
  fp_file_fingerprint(exact.path().c_str(), id, 0, 0, -3);
  EXPECT_EQ(g_updates, (std::vector<std::uint32_t>{0}));

  TempFile empty("fp_test_none.bin", {});
  fp_file_fingerprint(empty.path().c_str(), id);
  EXPECT_EQ(g_updates, (std::vector<std::uint32_t>{0}));
}

TEST(Fingerprint, FailuresGiveTheEmptyString) {
  fp_use_md5();
  TempFile f("fp_test_fail.bin", pattern(10));
  EXPECT_EQ(narrow(fp_file_fingerprint(f.path().c_str(), 2)), "");
  EXPECT_EQ(narrow(fp_file_fingerprint(u"fp_test_missing.bin", FP_PLUGIN_MD5)), "");
  EXPECT_EQ(narrow(fp_file_fingerprint(u".", FP_PLUGIN_MD5)), "");
  EXPECT_EQ(narrow(fp_file_fingerprint(nullptr, FP_PLUGIN_MD5)), "");
  EXPECT_EQ(narrow(fp_file_fingerprint(u"", FP_PLUGIN_MD5)), "");
  EXPECT_EQ(file_md5(f.path()).size(), 32u);

  // A read that fails after the first buffer: no digest of part of the file.
  TempFile big("fp_test_fail_late.bin", pattern(FP_READ_BUFFER_BYTES + 10));
  static int reads;
  reads = 0;
  os_calls().file_read = [](OsFile file, void* buffer, std::int32_t bytes) {
    return ++reads == 1 ? os_system_calls().file_read(file, buffer, bytes) : -1;
  };
  EXPECT_EQ(narrow(fp_file_fingerprint(big.path().c_str(), FP_PLUGIN_MD5)), "");
  os_calls_reset();
  EXPECT_EQ(narrow(fp_file_fingerprint(big.path().c_str(), FP_PLUGIN_MD5)).size(), 32u);
}

TEST(Fingerprint, DigestHex) {
  EXPECT_EQ(narrow(fp_digest_hex(nullptr)), "");
  FingerprintState s{};
  for (int i = 0; i < FP_DIGEST_MAX_BYTES; ++i) s.digest[i] = static_cast<std::uint8_t>(0xA0 + i);
  s.digest_bits = 7;
  EXPECT_EQ(narrow(fp_digest_hex(&s)), "");
  s.digest_bits = -16;
  EXPECT_EQ(narrow(fp_digest_hex(&s)), "");
  s.digest_bits = 20;  // the remainder of the division is dropped
  EXPECT_EQ(narrow(fp_digest_hex(&s)), "a0a1");
  s.digest_bits = 100000;  // never past the digest field
  EXPECT_EQ(narrow(fp_digest_hex(&s)).size(), 2u * FP_DIGEST_MAX_BYTES);
}

}  // namespace

// Files compared, read at their head, or read piece by piece: a file read
// while unchanged stands as its stamp says, and one that cannot be opened
// is marked.
TEST(Fingerprint, FilesComparedAndReadInPieces) {
  const std::vector<std::uint8_t> base = pattern(600000);  // a few read chunks
  std::vector<std::uint8_t> late = base, early = base;
  late[500000] ^= 1;
  early[10] ^= 1;
  const std::vector<std::uint8_t> chunk(base.begin(), base.begin() + 262144);
  const std::vector<std::vector<std::uint8_t>> data = {base, late, early, base, chunk, {}};
  std::vector<TempFile> files;
  files.reserve(data.size());
  std::vector<std::u16string> names;
  for (std::size_t k = 0; k < data.size(); ++k) {
    files.emplace_back("fp_side_" + std::to_string(k) + ".bin", data[k]);
    names.push_back(files.back().path());
  }
  names.push_back(u"fp_side_missing.bin");
  std::vector<CStr> paths;
  for (const auto& n : names) paths.push_back(n.c_str());

  // Read in pieces: the bytes as they are, a short piece where the file ends.
  FpPieceReader* r = fp_reader_open(paths[1]);
  ASSERT_NE(r, nullptr);
  std::vector<std::uint8_t> got(700000);
  EXPECT_EQ(fp_reader_read(r, got.data(), 400000), 400000);
  EXPECT_EQ(fp_reader_read(r, got.data() + 400000, 300000), 200000);
  got.resize(600000);
  EXPECT_EQ(got, late);
  FpReadStamp sr;
  fp_reader_close(r, &sr);
  EXPECT_TRUE(sr.steady && !sr.changed);
  EXPECT_EQ(sr.stamp.size, 600000);
  EXPECT_EQ(fp_reader_open(paths[6]), nullptr);

  // A file read while unchanged stands as its stamp says; equal files compare equal.
  FpReadStamp sa, sb;
  EXPECT_EQ(fp_files_equal(paths[0], paths[3], &sa, &sb), 1);
  EXPECT_TRUE(sa.steady && sb.steady);
  EXPECT_EQ(sa.stamp.size, 600000);
  EXPECT_NE(sa.stamp.identity.index, sb.stamp.identity.index);
  EXPECT_EQ(fp_files_equal(paths[0], paths[1]), 0);
  EXPECT_EQ(fp_files_equal(paths[0], paths[6]), -1);
  std::uint8_t head[16];
  FpReadStamp sh;
  EXPECT_EQ(fp_file_head(paths[2], head, 16, &sh), 16);
  EXPECT_TRUE(sh.steady);
  EXPECT_EQ(fp_file_head(paths[6], head, 16, &sh), -1);
}
