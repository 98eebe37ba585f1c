// MD5 (RFC 1321), written for throughput.
//
// MD5 is one long chain of dependent steps, so its speed is the latency of
// that chain. Each step below keeps on the chain only what needs the newest
// word b: the message word and constant are added to a before b is known,
// the round functions use the forms with the fewest operations after b
// arrives, and in the second round the half of G that does not involve b is
// added early. The 64 steps are written out so that every shift amount,
// constant and message index is a compile-time constant.
#include "fingerprint/md5.h"

#include <bit>
#include <cstring>

namespace {

using u32 = std::uint32_t;

constexpr u32 md5_swap(u32 v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Message words are little-endian whatever the host's byte order.
inline u32 md5_load(const std::uint8_t* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = md5_swap(v);
  return v;
}

inline void md5_store(std::uint8_t* p, u32 v) {
  if constexpr (std::endian::native == std::endian::big) v = md5_swap(v);
  std::memcpy(p, &v, 4);
}

// F(b,c,d) = (b & c) | (~b & d), as the equal d ^ (b & (c ^ d)).
template <int S>
inline void md5_f(u32& a, u32 b, u32 c, u32 d, u32 xk) {
  a += xk;
  a += d ^ (b & (c ^ d));
  a = std::rotl(a, S) + b;
}

// G(b,c,d) = (b & d) | (c & ~d). The two halves never have a bit in common,
// so they can be added instead of or-ed, and c & ~d goes in before b is ready.
template <int S>
inline void md5_g(u32& a, u32 b, u32 c, u32 d, u32 xk) {
  a += xk;
  a += c & ~d;
  a += b & d;
  a = std::rotl(a, S) + b;
}

// H(b,c,d) = b ^ c ^ d, with c ^ d ready before b.
template <int S>
inline void md5_h(u32& a, u32 b, u32 c, u32 d, u32 xk) {
  a += xk;
  a += b ^ (c ^ d);
  a = std::rotl(a, S) + b;
}

// I(b,c,d) = c ^ (b | ~d), with ~d ready before b.
template <int S>
inline void md5_i(u32& a, u32 b, u32 c, u32 d, u32 xk) {
  a += xk;
  a += c ^ (b | ~d);
  a = std::rotl(a, S) + b;
}

inline void md5_block(u32 state[4], const std::uint8_t* p) {
  // The 16 message words are loaded once per block.
  const u32 x0 = md5_load(p), x1 = md5_load(p + 4), x2 = md5_load(p + 8), x3 = md5_load(p + 12);
  const u32 x4 = md5_load(p + 16), x5 = md5_load(p + 20), x6 = md5_load(p + 24), x7 = md5_load(p + 28);
  const u32 x8 = md5_load(p + 32), x9 = md5_load(p + 36), x10 = md5_load(p + 40), x11 = md5_load(p + 44);
  const u32 x12 = md5_load(p + 48), x13 = md5_load(p + 52), x14 = md5_load(p + 56), x15 = md5_load(p + 60);
  u32 a = state[0], b = state[1], c = state[2], d = state[3];

  md5_f<7>(a, b, c, d, x0 + 0xd76aa478u);
  md5_f<12>(d, a, b, c, x1 + 0xe8c7b756u);
  md5_f<17>(c, d, a, b, x2 + 0x242070dbu);
  md5_f<22>(b, c, d, a, x3 + 0xc1bdceeeu);
  md5_f<7>(a, b, c, d, x4 + 0xf57c0fafu);
  md5_f<12>(d, a, b, c, x5 + 0x4787c62au);
  md5_f<17>(c, d, a, b, x6 + 0xa8304613u);
  md5_f<22>(b, c, d, a, x7 + 0xfd469501u);
  md5_f<7>(a, b, c, d, x8 + 0x698098d8u);
  md5_f<12>(d, a, b, c, x9 + 0x8b44f7afu);
  md5_f<17>(c, d, a, b, x10 + 0xffff5bb1u);
  md5_f<22>(b, c, d, a, x11 + 0x895cd7beu);
  md5_f<7>(a, b, c, d, x12 + 0x6b901122u);
  md5_f<12>(d, a, b, c, x13 + 0xfd987193u);
  md5_f<17>(c, d, a, b, x14 + 0xa679438eu);
  md5_f<22>(b, c, d, a, x15 + 0x49b40821u);

  md5_g<5>(a, b, c, d, x1 + 0xf61e2562u);
  md5_g<9>(d, a, b, c, x6 + 0xc040b340u);
  md5_g<14>(c, d, a, b, x11 + 0x265e5a51u);
  md5_g<20>(b, c, d, a, x0 + 0xe9b6c7aau);
  md5_g<5>(a, b, c, d, x5 + 0xd62f105du);
  md5_g<9>(d, a, b, c, x10 + 0x02441453u);
  md5_g<14>(c, d, a, b, x15 + 0xd8a1e681u);
  md5_g<20>(b, c, d, a, x4 + 0xe7d3fbc8u);
  md5_g<5>(a, b, c, d, x9 + 0x21e1cde6u);
  md5_g<9>(d, a, b, c, x14 + 0xc33707d6u);
  md5_g<14>(c, d, a, b, x3 + 0xf4d50d87u);
  md5_g<20>(b, c, d, a, x8 + 0x455a14edu);
  md5_g<5>(a, b, c, d, x13 + 0xa9e3e905u);
  md5_g<9>(d, a, b, c, x2 + 0xfcefa3f8u);
  md5_g<14>(c, d, a, b, x7 + 0x676f02d9u);
  md5_g<20>(b, c, d, a, x12 + 0x8d2a4c8au);

  md5_h<4>(a, b, c, d, x5 + 0xfffa3942u);
  md5_h<11>(d, a, b, c, x8 + 0x8771f681u);
  md5_h<16>(c, d, a, b, x11 + 0x6d9d6122u);
  md5_h<23>(b, c, d, a, x14 + 0xfde5380cu);
  md5_h<4>(a, b, c, d, x1 + 0xa4beea44u);
  md5_h<11>(d, a, b, c, x4 + 0x4bdecfa9u);
  md5_h<16>(c, d, a, b, x7 + 0xf6bb4b60u);
  md5_h<23>(b, c, d, a, x10 + 0xbebfbc70u);
  md5_h<4>(a, b, c, d, x13 + 0x289b7ec6u);
  md5_h<11>(d, a, b, c, x0 + 0xeaa127fau);
  md5_h<16>(c, d, a, b, x3 + 0xd4ef3085u);
  md5_h<23>(b, c, d, a, x6 + 0x04881d05u);
  md5_h<4>(a, b, c, d, x9 + 0xd9d4d039u);
  md5_h<11>(d, a, b, c, x12 + 0xe6db99e5u);
  md5_h<16>(c, d, a, b, x15 + 0x1fa27cf8u);
  md5_h<23>(b, c, d, a, x2 + 0xc4ac5665u);

  md5_i<6>(a, b, c, d, x0 + 0xf4292244u);
  md5_i<10>(d, a, b, c, x7 + 0x432aff97u);
  md5_i<15>(c, d, a, b, x14 + 0xab9423a7u);
  md5_i<21>(b, c, d, a, x5 + 0xfc93a039u);
  md5_i<6>(a, b, c, d, x12 + 0x655b59c3u);
  md5_i<10>(d, a, b, c, x3 + 0x8f0ccc92u);
  md5_i<15>(c, d, a, b, x10 + 0xffeff47du);
  md5_i<21>(b, c, d, a, x1 + 0x85845dd1u);
  md5_i<6>(a, b, c, d, x8 + 0x6fa87e4fu);
  md5_i<10>(d, a, b, c, x15 + 0xfe2ce6e0u);
  md5_i<15>(c, d, a, b, x6 + 0xa3014314u);
  md5_i<21>(b, c, d, a, x13 + 0x4e0811a1u);
  md5_i<6>(a, b, c, d, x4 + 0xf7537e82u);
  md5_i<10>(d, a, b, c, x11 + 0xbd3af235u);
  md5_i<15>(c, d, a, b, x2 + 0x2ad7d2bbu);
  md5_i<21>(b, c, d, a, x9 + 0xeb86d391u);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void fp_md5_blocks(std::uint32_t state[4], const std::uint8_t* data, std::size_t blocks) {
  // The chaining words stay in registers across the blocks of one call.
  u32 s[4] = {state[0], state[1], state[2], state[3]};
  for (; blocks; --blocks, data += MD5_BLOCK_BYTES) md5_block(s, data);
  std::memcpy(state, s, sizeof s);
}

void fp_md5_init(Md5Context* ctx) {
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xefcdab89u;
  ctx->state[2] = 0x98badcfeu;
  ctx->state[3] = 0x10325476u;
  ctx->count[0] = 0;
  ctx->count[1] = 0;
  std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void fp_md5_update(Md5Context* ctx, const void* data, std::size_t bytes) {
  if (bytes == 0) return;
  const auto* in = static_cast<const std::uint8_t*>(data);
  std::uint64_t bits = (static_cast<std::uint64_t>(ctx->count[1]) << 32) | ctx->count[0];
  std::size_t have = static_cast<std::size_t>((bits >> 3) & (MD5_BLOCK_BYTES - 1));
  bits += static_cast<std::uint64_t>(bytes) << 3;
  ctx->count[0] = static_cast<u32>(bits);
  ctx->count[1] = static_cast<u32>(bits >> 32);

  if (have) {
    std::size_t room = MD5_BLOCK_BYTES - have;
    if (bytes < room) {
      std::memcpy(ctx->buffer + have, in, bytes);
      return;
    }
    std::memcpy(ctx->buffer + have, in, room);
    fp_md5_blocks(ctx->state, ctx->buffer, 1);
    in += room;
    bytes -= room;
  }
  std::size_t whole = bytes / MD5_BLOCK_BYTES;
  if (whole) fp_md5_blocks(ctx->state, in, whole);
  in += whole * MD5_BLOCK_BYTES;
  bytes -= whole * MD5_BLOCK_BYTES;
  if (bytes) std::memcpy(ctx->buffer, in, bytes);
}

void fp_md5_final(Md5Context* ctx, std::uint8_t digest[MD5_DIGEST_BYTES]) {
  // Padding: one 1 bit, zeros up to 56 bytes into a block, then the bit
  // count as a little-endian 64-bit number.
  std::uint8_t length[8];
  md5_store(length, ctx->count[0]);
  md5_store(length + 4, ctx->count[1]);
  static constexpr std::uint8_t pad[MD5_BLOCK_BYTES] = {0x80};
  std::size_t have = (ctx->count[0] >> 3) & (MD5_BLOCK_BYTES - 1);
  std::size_t pad_bytes = have < 56 ? 56 - have : 120 - have;
  fp_md5_update(ctx, pad, pad_bytes);
  fp_md5_update(ctx, length, sizeof length);
  for (int i = 0; i < 4; ++i) md5_store(digest + 4 * i, ctx->state[i]);
  std::memset(ctx, 0, sizeof *ctx);
}

void fp_md5(const void* data, std::size_t bytes, std::uint8_t digest[MD5_DIGEST_BYTES]) {
  Md5Context ctx;
  fp_md5_init(&ctx);
  fp_md5_update(&ctx, data, bytes);
  fp_md5_final(&ctx, digest);
}
