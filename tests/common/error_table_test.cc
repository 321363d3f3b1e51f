#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

struct FreeText {
  void operator()(char *text) const { free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

vorlan_object_t *make(vorlan_object_t *cause, int type, const char *text, int line = 1) {
  return vorlan_error_construct_error(nullptr, cause, type, "file.cc", "func", line, "%s", text);
}

TEST(ErrorTable, CodeNamesItsObjectUntilTakenOrReleased) {
  vorlan_object_t *first = make(nullptr, 1, "first");
  vorlan_object_t *second = make(nullptr, 2, "second");
  vorlan_result_t a = vorlan_error_put(first);
  vorlan_result_t b = vorlan_error_put(second);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);

  EXPECT_EQ(vorlan_error_peek(a), first);
  EXPECT_EQ(vorlan_error_peek(a), first) << "peek must leave the object in the table";
  EXPECT_EQ(vorlan_error_get(a), first);
  EXPECT_EQ(vorlan_error_peek(a), nullptr);
  EXPECT_EQ(vorlan_error_get(a), nullptr);
  vorlan_object_free(first);

  vorlan_error_release(b);
  EXPECT_EQ(vorlan_error_peek(b), nullptr);

  EXPECT_EQ(vorlan_error_put(nullptr), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_error_peek(VORLAN_SUCCESS), nullptr);
  EXPECT_EQ(vorlan_error_peek(VORLAN_FAILURE), nullptr);
  vorlan_error_release(VORLAN_FAILURE);
}

TEST(ErrorTable, FriendlyTextJoinsTheChainOutermostFirst) {
  vorlan_object_t *inner = make(nullptr, 3, "connection reset", 30);
  vorlan_object_t *middle = make(inner, 2, "", 20);
  vorlan_object_t *outer = make(middle, 1, "download of photos/a.jpg failed", 10);

  Text friendly(vorlan_error_print_friendly(outer));
  ASSERT_NE(friendly, nullptr);
  EXPECT_STREQ(friendly.get(), "download of photos/a.jpg failed\nconnection reset");

  Text chain(vorlan_error_print_chain(outer));
  ASSERT_NE(chain, nullptr);
  std::string text = chain.get();
  EXPECT_LT(text.find("file.cc:10"), text.find("file.cc:20"));
  EXPECT_LT(text.find("file.cc:20"), text.find("file.cc:30"));

  EXPECT_TRUE(vorlan_error_match(outer, 3));
  EXPECT_FALSE(vorlan_error_match(outer, 4));
  EXPECT_EQ(vorlan_error_print_friendly(nullptr), nullptr);
  vorlan_object_free(outer);
}

TEST(ErrorTable, LongTextIsKeptWhole) {
  std::string key(10000, 'k');
  vorlan_object_t *error = vorlan_error_construct_error(nullptr, nullptr, 1, "f", "g", 1,
                                                        "no such key %s here", key.c_str());
  EXPECT_EQ(std::string(vorlan_error_get_long_desc(error)), "no such key " + key + " here");
  vorlan_object_free(error);
}

int payload_frees = 0;
void free_payload(void *payload) {
  ++payload_frees;
  delete static_cast<int *>(payload);
}

TEST(ErrorTable, PayloadIsFoundByKindAndFreedWithItsObject) {
  payload_frees = 0;
  vorlan_object_t *cause = make(nullptr, 1, "cause");
  vorlan_error_set_payload(cause, "reply", new int(550), free_payload);
  vorlan_object_t *outer = make(cause, 1, "outer");
  vorlan_error_set_payload(outer, "reply", new int(451), free_payload);
  vorlan_error_set_payload(outer, "reply", new int(421), free_payload);
  EXPECT_EQ(payload_frees, 1) << "a replaced payload must be freed";

  ASSERT_NE(vorlan_error_get_payload(outer, "reply"), nullptr);
  EXPECT_EQ(*static_cast<int *>(vorlan_error_get_payload(outer, "reply")), 421);
  EXPECT_EQ(vorlan_error_get_payload(outer, "other"), nullptr);

  vorlan_error_release(vorlan_error_put(outer));
  EXPECT_EQ(payload_frees, 3);
}

}  // namespace
