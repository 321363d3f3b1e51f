// The process-wide cache of object checksums (MD5, ADLER32, CRC32C) taken while their bytes
// passed through the module, one entry per object version, and the test of whether an ETag
// already is the object's MD5.
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <string>

namespace {

constexpr int vorlan_l_s3_checksum_cache_buckets = 1024;

struct checksum_entry {
  char *path;
  vorlan_i_s3_checksums checksums;
  char *etag;
  uint64_t size;
  // Where the entry sits in the insertion order, for eviction of the oldest.
  std::list<checksum_entry *>::iterator order;
};

// Guards the table and the insertion order; held during each find and add.
std::mutex l_checksum_cache_mutex;
vorlan_hashtable_t l_checksum_cache = nullptr;
std::list<checksum_entry *> l_checksum_cache_order;

void vorlan_l_s3_checksum_entry_free(checksum_entry *entry) {
  free(entry->path);
  free(entry->etag);
  delete entry;
}

// Unlinks the entry from the table and the insertion order; the caller owns it afterwards.
void vorlan_l_s3_checksum_entry_unlink(checksum_entry *entry) {
  vorlan_hashtable_remove(l_checksum_cache, entry->path);
  l_checksum_cache_order.erase(entry->order);
}

// Values of the same version join the entry's; another version's entry is replaced.
void vorlan_l_s3_checksum_cache_store(const std::string &path, const char *etag, uint64_t size,
                                      const vorlan_i_s3_checksums &checksums) {
  std::lock_guard<std::mutex> lock(l_checksum_cache_mutex);
  if (l_checksum_cache == nullptr) {
    return;
  }
  auto *entry = static_cast<checksum_entry *>(
      vorlan_hashtable_lookup(l_checksum_cache, const_cast<char *>(path.c_str())));
  vorlan_i_s3_checksums values = checksums;
  if (entry != nullptr) {
    if (entry->size == size && strcmp(entry->etag, etag) == 0) {
      for (int i = 0; i < vorlan_i_s3_algorithm_count; ++i) {
        const auto algorithm = static_cast<vorlan_i_s3_algorithm>(i);
        if (values.of(algorithm)[0] == '\0') {
          snprintf(values.of(algorithm), 33, "%s", entry->checksums.of(algorithm));
        }
      }
    }
    vorlan_l_s3_checksum_entry_unlink(entry);
    vorlan_l_s3_checksum_entry_free(entry);
  }
  while (static_cast<int>(l_checksum_cache_order.size()) >=
         vorlan_i_s3_checksum_cache_max_entries) {
    checksum_entry *oldest = l_checksum_cache_order.front();
    vorlan_l_s3_checksum_entry_unlink(oldest);
    vorlan_l_s3_checksum_entry_free(oldest);
  }

  entry = new (std::nothrow) checksum_entry{};
  if (entry == nullptr) {
    return;
  }
  entry->path = strdup(path.c_str());
  entry->checksums = values;
  entry->etag = strdup(etag);
  entry->size = size;
  if (entry->path == nullptr || entry->etag == nullptr) {
    vorlan_l_s3_checksum_entry_free(entry);
    return;
  }
  // A cache is a hint: when memory runs out the entry is simply not kept.
  l_checksum_cache_order.push_back(entry);
  entry->order = std::prev(l_checksum_cache_order.end());
  const vorlan_i_s3_error result(vorlan_hashtable_insert(l_checksum_cache, entry->path, entry));
  if (result.failed()) {
    l_checksum_cache_order.erase(entry->order);
    vorlan_l_s3_checksum_entry_free(entry);
  }
}

}  // namespace

void vorlan_i_s3_checksum_cache_init() {
  std::lock_guard<std::mutex> lock(l_checksum_cache_mutex);
  if (l_checksum_cache != nullptr) {
    return;
  }
  const vorlan_i_s3_error result(
      vorlan_hashtable_init(&l_checksum_cache, vorlan_l_s3_checksum_cache_buckets,
                            vorlan_hashtable_string_hash, vorlan_hashtable_string_keyeq));
  if (result.failed()) {
    // Without a table every find misses and every add is dropped.
    l_checksum_cache = nullptr;
  }
}

void vorlan_i_s3_checksum_cache_destroy() {
  std::lock_guard<std::mutex> lock(l_checksum_cache_mutex);
  if (l_checksum_cache == nullptr) {
    return;
  }
  for (checksum_entry *entry : l_checksum_cache_order) {
    vorlan_l_s3_checksum_entry_free(entry);
  }
  l_checksum_cache_order.clear();
  vorlan_hashtable_destroy(&l_checksum_cache);
  l_checksum_cache = nullptr;
}

bool vorlan_i_s3_checksum_find(const char *bucket, const char *key, const char *etag, uint64_t size,
                               char *checksum) {
  return vorlan_i_s3_checksum_find_algorithm(bucket, key, etag, size, vorlan_i_s3_algorithm::md5,
                                             checksum);
}

bool vorlan_i_s3_checksum_find_algorithm(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, vorlan_i_s3_algorithm algorithm,
                                         char *checksum) {
  VORLAN_S3_TRACE_ENTER();
  bool hit = false;
  try {
    const std::string path =
        vorlan_i_s3_format("%s/%s", vorlan_i_s3_str(bucket), vorlan_i_s3_str(key));
    std::lock_guard<std::mutex> lock(l_checksum_cache_mutex);
    if (l_checksum_cache != nullptr && etag != nullptr) {
      auto *entry = static_cast<checksum_entry *>(
          vorlan_hashtable_lookup(l_checksum_cache, const_cast<char *>(path.c_str())));
      if (entry != nullptr && entry->size == size && strcmp(entry->etag, etag) == 0 &&
          entry->checksums.of(algorithm)[0] != '\0') {
        snprintf(checksum, 33, "%s", entry->checksums.of(algorithm));
        hit = true;
      }
    }
  } catch (const std::bad_alloc &) {
    hit = false;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit: %d\n", hit ? 1 : 0);
  return hit;
}

vorlan_result_t vorlan_i_s3_checksum_add(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, const char *checksum) {
  VORLAN_S3_TRACE_ENTER();
  try {
    const std::string path =
        vorlan_i_s3_format("%s/%s", vorlan_i_s3_str(bucket), vorlan_i_s3_str(key));
    if (etag == nullptr || *etag == '\0' || checksum == nullptr || *checksum == '\0') {
      vorlan_gfs_log_message(
          VORLAN_GFS_LOG_WARN,
          "Can not cache invalid checksum:  path: '%s', checksum: '%s', etag: '%s'\n", path.c_str(),
          vorlan_i_s3_str(checksum), vorlan_i_s3_str(etag));
    } else {
      vorlan_i_s3_checksums checksums;
      snprintf(checksums.md5, sizeof checksums.md5, "%s", checksum);
      vorlan_l_s3_checksum_cache_store(path, etag, size, checksums);
    }
  } catch (const std::bad_alloc &) {
    // Nothing is cached; the caller's request goes on.
  }
  VORLAN_S3_TRACE_EXIT();
  return VORLAN_SUCCESS;
}

void vorlan_i_s3_checksums_add(const char *bucket, const char *key, const char *etag, uint64_t size,
                               const vorlan_i_s3_checksums &checksums) {
  VORLAN_S3_TRACE_ENTER();
  if (etag != nullptr && *etag != '\0' &&
      (checksums.md5[0] != '\0' || checksums.adler32[0] != '\0' || checksums.crc32c[0] != '\0')) {
    try {
      vorlan_l_s3_checksum_cache_store(
          vorlan_i_s3_format("%s/%s", vorlan_i_s3_str(bucket), vorlan_i_s3_str(key)), etag, size,
          checksums);
    } catch (const std::bad_alloc &) {
      // Nothing is cached; the caller's request goes on.
    }
  }
  VORLAN_S3_TRACE_EXIT();
}

bool vorlan_i_s3_metadata_has_checksum(const S3ResponseProperties *properties) {
  VORLAN_S3_TRACE_ENTER();
  bool has_checksum = false;
  if (properties != nullptr && properties->eTag != nullptr && strlen(properties->eTag) == 34 &&
      properties->usesServerSideEncryption != S3_SSE_ETAG_NOT_MD5 && properties->eTag[0] == '"') {
    // 32 hexadecimal digits between quotes.
    has_checksum =
        strspn(properties->eTag + 1, "0123456789abcdefABCDEF") == 32 && properties->eTag[33] == '"';
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit: %d\n", has_checksum ? 1 : 0);
  return has_checksum;
}
