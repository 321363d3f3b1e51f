#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

using Text = std::unique_ptr<char, decltype(&free)>;

vorlan_object_t *make(vorlan_object_t *cause, const char *text, int line, int type = 1) {
  return vorlan_error_construct_error(nullptr, cause, type, "file.cc", "func", line, "%s", text);
}

TEST(ErrorTable, CodeNamesItsObjectUntilTakenOrReleased) {
  vorlan_object_t *first = make(nullptr, "first", 1);
  vorlan_result_t a = vorlan_error_put(first);
  vorlan_result_t b = vorlan_error_put(make(nullptr, "second", 2));
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);

  EXPECT_EQ(vorlan_error_peek(a), first);
  EXPECT_EQ(vorlan_error_peek(a), first) << "peek must leave the object in the table";
  EXPECT_EQ(vorlan_error_get(a), first);
  EXPECT_EQ(vorlan_error_get(a), nullptr);
  vorlan_object_free(first);
  vorlan_error_release(b);
  EXPECT_EQ(vorlan_error_peek(b), nullptr);

  EXPECT_EQ(vorlan_error_put(nullptr), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_error_peek(VORLAN_FAILURE), nullptr);
}

TEST(ErrorTable, FriendlyTextJoinsTheWholeChainOutermostFirst) {
  std::string long_text(10000, 'k');
  vorlan_object_t *inner = make(nullptr, long_text.c_str(), 30, 3);
  vorlan_object_t *outer = make(make(inner, "", 20), "download failed", 10);

  Text friendly(vorlan_error_print_friendly(outer), free);
  ASSERT_NE(friendly, nullptr);
  EXPECT_EQ(std::string(friendly.get()), "download failed\n" + long_text);

  Text chain(vorlan_error_print_chain(outer), free);
  ASSERT_NE(chain, nullptr);
  std::string text = chain.get();
  EXPECT_LT(text.find("file.cc:10"), text.find("file.cc:20"));
  EXPECT_LT(text.find("file.cc:20"), text.find("file.cc:30"));
  EXPECT_TRUE(vorlan_error_match(outer, 3));
  vorlan_error_release(vorlan_error_put(outer));
}

}  // namespace
