// MD5 message digest (RFC 1321): the incremental context, the block
// function, and one-shot hashing of bytes in memory.
//
// The fingerprint module's MD5 plug-in is built on this; other code may use
// it directly on data it already holds in memory.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr std::int32_t MD5_DIGEST_BYTES = 16;
constexpr std::int32_t MD5_BLOCK_BYTES = 64;

// The RFC 1321 context: four chaining words, the count of bits fed so far
// (low word, high word) and the block buffer that holds a partial block.
struct Md5Context {
  std::uint32_t state[4];
  std::uint32_t count[2];
  std::uint8_t buffer[MD5_BLOCK_BYTES];
};

// Sets the context to the RFC 1321 initial values.
void fp_md5_init(Md5Context* ctx);

// Feeds `bytes` bytes at `data` into the digest; 0 bytes changes nothing
// (`data` may then be null).
void fp_md5_update(Md5Context* ctx, const void* data, std::size_t bytes);

// Completes the digest, writes its 16 bytes in the RFC's byte order to
// `digest` and clears the whole context to zero.
void fp_md5_final(Md5Context* ctx, std::uint8_t digest[MD5_DIGEST_BYTES]);

// One-shot digest of `bytes` bytes at `data`.
void fp_md5(const void* data, std::size_t bytes, std::uint8_t digest[MD5_DIGEST_BYTES]);

// The block function: runs `blocks` whole 64-byte blocks at `data` through
// the four chaining words. For callers that keep their own buffering.
void fp_md5_blocks(std::uint32_t state[4], const std::uint8_t* data, std::size_t blocks);
