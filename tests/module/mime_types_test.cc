// The MIME table: which line names an extension, what a key's extension is, and files that
// cannot be read.
#include <gtest/gtest.h>

#include <string>

#include "temp_dir.h"
#include "vorlan_i_s3.h"

namespace {

using vorlan::test::TempDir;

class MimeTypesTest : public ::testing::Test {
 protected:
  void TearDown() override { vorlan_hashtable_destroy_all(&vorlan_i_s3_mime_extensions, free); }
  static std::string type_of(const char *key) {
    const char *type = vorlan_i_s3_mime_type_get(key);
    return type == nullptr ? "<none>" : type;
  }
  TempDir dir_;
};

TEST_F(MimeTypesTest, LookupsByLastExtension) {
  const std::string ext30(30, 'e');
  const std::string ext31(31, 'f');
  // Extensions beyond a fixed 256-byte read: the whole line belongs to one type.
  std::string long_list;
  for (int i = 0; i < 40; i++) {
    long_list += " l" + std::to_string(i);
  }
  const std::string file =
      "# comment line\n"
      "text/plain txt text\n"
      "application/x-other txt\n"
      "image/jpeg jpeg jpg\tjpe # pictures\n"
      "#image/gif gif\n"
      "application/x-lonely\n"
      "\n"
      "text/html html htm\r\n"
      "application/gzip gz\n"
      "application/x-long " +
      ext30 + " " + ext31 +
      "\n"
      "application/x-many" +
      long_list + " image/png png\n";
  ASSERT_EQ(vorlan_i_s3_mime_types_parse(dir_.write("mime.types", file).c_str()), VORLAN_SUCCESS);

  struct Case {
    std::string key;
    std::string type;
  } cases[] = {
      {"a.txt", "text/plain"},
      {"notes.text", "text/plain"},
      {"photo.jpe", "image/jpeg"},
      {"photos/a.JPG", "<none>"},
      {"anim.gif", "<none>"},
      {"pictures", "<none>"},
      {"page.htm", "text/html"},
      {"archive.tar.gz", "application/gzip"},
      {"README", "<none>"},
      {"name.", "<none>"},
      {"folder.d/file", "<none>"},
      {"x." + ext30, "application/x-long"},
      {"x." + ext31, "<none>"},
      {"x.l39", "application/x-many"},
      {"x.png", "application/x-many"},
      {".txt", "text/plain"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(type_of(c.key.c_str()), c.type) << c.key;
  }
}

TEST_F(MimeTypesTest, WithoutFileEveryLookupMisses) {
  ASSERT_EQ(vorlan_i_s3_mime_types_parse(nullptr), VORLAN_SUCCESS);
  EXPECT_NE(vorlan_i_s3_mime_extensions, nullptr);
  EXPECT_EQ(type_of("a.txt"), "<none>");
}

TEST_F(MimeTypesTest, UnreadableFileFailsAndLeavesNoTable) {
  EXPECT_EQ(vorlan_i_s3_mime_types_parse((dir_.path() + "/absent.types").c_str()), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_i_s3_mime_extensions, nullptr);
  EXPECT_EQ(type_of("a.txt"), "<none>");
}

}  // namespace
