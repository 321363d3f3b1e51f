// Chained hash tables keyed through caller-supplied hash and equality functions.
#include <cstring>

#include <climits>
#include <cstdint>
#include <new>
#include <vector>

#include <vorlan/vorlan_common.h>

namespace {

struct Entry {
  void *key;
  void *datum;
  Entry *next;
};

constexpr size_t kMaxChainsPerEntry = 2;
constexpr size_t kMaxBuckets = INT_MAX;

}  // namespace

struct vorlan_hashtable_s {
  std::vector<Entry *> buckets;
  vorlan_hashtable_hash_func_t hash = nullptr;
  vorlan_hashtable_keyeq_func_t keyeq = nullptr;
  int count = 0;

  size_t bucket_of(void *key, size_t bucket_count) const {
    // A hash function that strays outside [0, limit) still lands in a valid bucket.
    auto value = static_cast<unsigned>(hash(key, static_cast<int>(bucket_count)));
    return value % bucket_count;
  }

  Entry **find(void *key) {
    Entry **link = &buckets[bucket_of(key, buckets.size())];
    for (; *link != nullptr; link = &(*link)->next) {
      if (keyeq((*link)->key, key)) {
        return link;
      }
    }
    return link;
  }

  // Keeps chains short as the table fills; a failed allocation just leaves the table as it was.
  void grow() {
    size_t bigger = buckets.size() * 2;
    if (bigger > kMaxBuckets) {
      return;
    }
    std::vector<Entry *> rehashed;
    try {
      rehashed.assign(bigger, nullptr);
    } catch (...) {
      return;
    }
    for (Entry *chain : buckets) {
      while (chain != nullptr) {
        Entry *next = chain->next;
        size_t index = bucket_of(chain->key, bigger);
        chain->next = rehashed[index];
        rehashed[index] = chain;
        chain = next;
      }
    }
    buckets.swap(rehashed);
  }

  void clear(vorlan_hashtable_destructor_func_t destructor) {
    for (Entry *chain : buckets) {
      while (chain != nullptr) {
        Entry *next = chain->next;
        if (destructor != nullptr) {
          destructor(chain->datum);
        }
        delete chain;
        chain = next;
      }
    }
    buckets.clear();
    count = 0;
  }
};

extern "C" {

int vorlan_hashtable_string_hash(void *string, int limit) {
  if (string == nullptr || limit <= 0) {
    return 0;
  }
  uint32_t value = 0;
  for (const auto *c = static_cast<const unsigned char *>(string); *c != '\0'; ++c) {
    value = value * 31U + *c;
  }
  return static_cast<int>(value % static_cast<uint32_t>(limit));
}

int vorlan_hashtable_string_keyeq(void *string1, void *string2) {
  if (string1 == nullptr || string2 == nullptr) {
    return string1 == string2;
  }
  return strcmp(static_cast<const char *>(string1), static_cast<const char *>(string2)) == 0;
}

vorlan_result_t vorlan_hashtable_init(vorlan_hashtable_t *table, int size,
                                      vorlan_hashtable_hash_func_t hash,
                                      vorlan_hashtable_keyeq_func_t keyeq) {
  if (table == nullptr) {
    return VORLAN_FAILURE;
  }
  *table = nullptr;
  if (hash == nullptr || keyeq == nullptr) {
    return VORLAN_FAILURE;
  }
  try {
    auto *created = new vorlan_hashtable_s;
    created->hash = hash;
    created->keyeq = keyeq;
    try {
      created->buckets.assign(size > 0 ? static_cast<size_t>(size) : 1, nullptr);
    } catch (...) {
      delete created;
      return VORLAN_FAILURE;
    }
    *table = created;
    return VORLAN_SUCCESS;
  } catch (...) {
    return VORLAN_FAILURE;
  }
}

vorlan_result_t vorlan_hashtable_insert(vorlan_hashtable_t table, void *key, void *datum) {
  if (table == nullptr || table->buckets.empty()) {
    return VORLAN_FAILURE;
  }
  Entry **link = table->find(key);
  if (*link != nullptr) {
    return VORLAN_FAILURE;
  }
  auto *entry = new (std::nothrow) Entry{key, datum, nullptr};
  if (entry == nullptr) {
    return VORLAN_FAILURE;
  }
  *link = entry;
  ++table->count;
  if (static_cast<size_t>(table->count) > table->buckets.size() * kMaxChainsPerEntry) {
    table->grow();
  }
  return VORLAN_SUCCESS;
}

void *vorlan_hashtable_lookup(vorlan_hashtable_t table, void *key) {
  if (table == nullptr || table->buckets.empty()) {
    return nullptr;
  }
  Entry *entry = *table->find(key);
  return entry != nullptr ? entry->datum : nullptr;
}

void *vorlan_hashtable_remove(vorlan_hashtable_t table, void *key) {
  if (table == nullptr || table->buckets.empty()) {
    return nullptr;
  }
  Entry **link = table->find(key);
  Entry *entry = *link;
  if (entry == nullptr) {
    return nullptr;
  }
  *link = entry->next;
  void *datum = entry->datum;
  delete entry;
  --table->count;
  return datum;
}

void vorlan_hashtable_destroy(vorlan_hashtable_t *table) {
  vorlan_hashtable_destroy_all(table, nullptr);
}

void vorlan_hashtable_destroy_all(vorlan_hashtable_t *table,
                                  vorlan_hashtable_destructor_func_t destructor) {
  if (table == nullptr || *table == nullptr) {
    return;
  }
  (*table)->clear(destructor);
  delete *table;
  *table = nullptr;
}

}  // extern "C"
