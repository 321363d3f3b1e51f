// Many workers finding and adding checksums at once: every hit is an entry that was added
// whole, never a mix of two.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "vorlan_i_s3.h"

namespace {

// The checksum text is derived from the ETag and the size, so a hit can be checked alone.
std::string checksum_for(int etag, uint64_t size) {
  return vorlan_i_s3_format("%08x%024llx", etag, static_cast<unsigned long long>(size));
}

TEST(ChecksumCacheConcurrencyTest, ParallelFindAndAddStayConsistent) {
  vorlan_i_s3_checksum_cache_init();
  constexpr int kThreads = 8;
  constexpr int kRounds = 3000;
  constexpr int kKeys = 16;
  // Stable entries that no worker replaces: every find of them must hit.
  for (int i = 0; i < kKeys; i++) {
    const std::string key = "stable" + std::to_string(i);
    vorlan_i_s3_checksum_add("bucket", key.c_str(), "\"s\"", i, checksum_for(99, i).c_str());
  }
  std::atomic<int> stable_misses{0};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &stable_misses, &bad] {
      for (int round = 0; round < kRounds; round++) {
        const std::string key = std::to_string((round * 7 + t) % kKeys);
        const int etag_number = round % 3;
        const std::string etag = "\"e" + std::to_string(etag_number) + "\"";
        const uint64_t size = static_cast<uint64_t>(round % 5);
        char checksum[33] = "";
        if ((round + t) % 2 == 0) {
          vorlan_i_s3_checksum_add("bucket", key.c_str(), etag.c_str(), size,
                                   checksum_for(etag_number, size).c_str());
        } else if (vorlan_i_s3_checksum_find("bucket", key.c_str(), etag.c_str(), size, checksum) &&
                   checksum_for(etag_number, size) != checksum) {
          bad++;
        }
        const int stable = round % kKeys;
        const std::string stable_key = "stable" + std::to_string(stable);
        if (!vorlan_i_s3_checksum_find("bucket", stable_key.c_str(), "\"s\"", stable, checksum) ||
            checksum_for(99, stable) != checksum) {
          stable_misses++;
        }
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(stable_misses.load(), 0);
  vorlan_i_s3_checksum_cache_destroy();
}

}  // namespace
