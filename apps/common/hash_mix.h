// The finaliser both programs' hashes end with: spreads every bit of a
// 64-bit word into all the others (the well-known 64-bit mix's constants).
#pragma once
#include <cstdint>

inline std::uint64_t hash_mix64(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}
