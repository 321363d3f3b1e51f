// Copying body bytes between the host's blocks and the S3 library's buffers.
#ifndef VORLAN_I_S3_COPY_H
#define VORLAN_I_S3_COPY_H

#include <cstddef>
#include <cstring>

// memcpy hands copies above a few KiB to the CPU's string move, which some processors run many
// times slower when source and destination are not aligned alike, as a block's fill level and
// a library buffer seldom are; pieces of 2 KiB stay on its vector loop, as fast at any
// alignment.
inline void vorlan_i_s3_copy(char *to, const char *from, size_t size) {
  constexpr size_t piece = 2048;
  for (; size > piece; size -= piece, to += piece, from += piece) std::memcpy(to, from, piece);
  std::memcpy(to, from, size);
}

#endif  // VORLAN_I_S3_COPY_H
