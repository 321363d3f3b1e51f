#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

constexpr int kKeys = 10000;

int count_visits(void * /*key*/, void * /*datum*/, void *arg) {
  ++*static_cast<int *>(arg);
  return 0;
}

int stop_at_third(void * /*key*/, void * /*datum*/, void *arg) {
  return ++*static_cast<int *>(arg) == 3;
}

int destroyed = 0;
void count_destroyed(void * /*datum*/) { ++destroyed; }

// A small initial size makes the table grow many times while it fills.
TEST(Hashtable, TenThousandKeysInsertLookupRemoveVisit) {
  std::vector<std::string> keys;
  std::vector<int> data(kKeys);
  for (int i = 0; i < kKeys; ++i) {
    keys.push_back("bucket/dir/object-" + std::to_string(i));
  }
  vorlan_hashtable_t table = nullptr;
  ASSERT_EQ(
      vorlan_hashtable_init(&table, 4, vorlan_hashtable_string_hash, vorlan_hashtable_string_keyeq),
      VORLAN_SUCCESS);
  for (int i = 0; i < kKeys; ++i) {
    ASSERT_EQ(vorlan_hashtable_insert(table, keys[i].data(), &data[i]), VORLAN_SUCCESS) << i;
  }

  // An equal key in another buffer is a duplicate; the first datum stays.
  std::string again = keys[42];
  int other = 0;
  EXPECT_EQ(vorlan_hashtable_insert(table, again.data(), &other), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_hashtable_size(table), kKeys);
  EXPECT_EQ(vorlan_hashtable_lookup(table, again.data()), &data[42]);

  for (int i = 0; i < kKeys; ++i) {
    ASSERT_EQ(vorlan_hashtable_lookup(table, keys[i].data()), &data[i]) << i;
  }
  for (int i = 0; i < kKeys; i += 2) {
    ASSERT_EQ(vorlan_hashtable_remove(table, keys[i].data()), &data[i]) << i;
  }
  EXPECT_EQ(vorlan_hashtable_remove(table, keys[0].data()), nullptr);
  EXPECT_EQ(vorlan_hashtable_lookup(table, keys[1].data()), &data[1]);
  EXPECT_EQ(vorlan_hashtable_size(table), kKeys / 2);

  int visits = 0;
  vorlan_hashtable_foreach(table, count_visits, &visits);
  EXPECT_EQ(visits, kKeys / 2);
  visits = 0;
  vorlan_hashtable_foreach(table, stop_at_third, &visits);
  EXPECT_EQ(visits, 3);

  destroyed = 0;
  vorlan_hashtable_destroy_all(&table, count_destroyed);
  EXPECT_EQ(destroyed, kKeys / 2);
  EXPECT_EQ(table, nullptr);
}

TEST(Hashtable, StringHashIsInRangeAndStable) {
  for (int limit : {1, 17, 2147483647}) {
    for (std::string name : {"", "photos/2024/a.jpg", "\xff\xfe\x80 high", "zzzzzzzzzzzzzzzz"}) {
      int hash = vorlan_hashtable_string_hash(name.data(), limit);
      EXPECT_TRUE(hash >= 0 && hash < limit) << name << " limit " << limit << ": " << hash;
    }
  }
  // Stat records carry these as dev/ino, so they must not vary with the build or the platform's
  // char signedness.
  char high[] = "\xff\xff";
  EXPECT_EQ(vorlan_hashtable_string_hash(high, 2147483647), 255 * 31 + 255);
}

}  // namespace
