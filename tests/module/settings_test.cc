// The files module activation reads: what each line of the configuration and MIME files
// stores, what it refuses and how it says so.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "temp_dir.h"
#include "vorlan_i_s3.h"

namespace {

using vorlan::test::TempDir;

class ConfigParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vorlan_i_s3_config_reset();
    // Activation stores the default endpoint just before it parses the file.
    vorlan_i_s3_default_hostname = strdup(VORLAN_S3_DEFAULT_HOSTNAME);
  }
  void TearDown() override { vorlan_i_s3_config_reset(); }

  // Parses `contents` as a file; on failure returns the error's text, on success "".
  std::string parse(const std::string &contents, vorlan_i_s3_config_key_t *extra = nullptr) {
    path_ = dir_.write("test.conf", contents);
    vorlan_object_t *error = vorlan_error_get(vorlan_i_s3_config_parse(path_.c_str(), extra));
    std::string text = error != nullptr ? vorlan_error_get_long_desc(error) : "";
    vorlan_object_free(error);
    return text;
  }
  static std::string str(const char *s) { return s == nullptr ? "<null>" : s; }

  TempDir dir_;
  std::string path_;
};

TEST_F(ConfigParseTest, SettingsAndDefaults) {
  ASSERT_EQ(parse("# only a comment\n\n   \t\n"), "");
  EXPECT_EQ(str(vorlan_i_s3_default_hostname), VORLAN_S3_DEFAULT_HOSTNAME);
  EXPECT_EQ(vorlan_i_s3_mime_type_file, nullptr);
  EXPECT_TRUE(vorlan_i_s3_https && vorlan_i_s3_verify_peer && !vorlan_i_s3_use_virtual_host);
  EXPECT_EQ(vorlan_i_s3_max_retries, 1);
  EXPECT_EQ(vorlan_i_s3_retry_delay_ms, 100);
  EXPECT_EQ(vorlan_i_s3_restore_days, 4);
  EXPECT_EQ(vorlan_i_s3_transfer_streams, 8);
  EXPECT_EQ(vorlan_i_s3_part_size, 0);
  EXPECT_EQ(vorlan_i_s3_multipart_threshold, 64 << 20);

  ASSERT_EQ(parse("host_name = storage.example.test\n"
                  "  default_region =europe-west4\n"
                  "mime_types_path = /etc/mime.types   \n"
                  "use_https = No\n"
                  "use_virtual_host = on\n"
                  "verify_peer = true # note\n"
                  "max_retries = 7\n"
                  "retry_delay = +250\n"
                  "part_size = 5368709120\n"
                  "transfer_streams = 1\n"
                  "multipart_threshold = 5242880\n"
                  "restore_days = 30\n"
                  "restore_tier = bULK trailing words are ignored\n"
                  "max_retries = 2147483647\n"),
            "");
  EXPECT_EQ(str(vorlan_i_s3_default_hostname), "storage.example.test");
  EXPECT_EQ(str(vorlan_i_s3_default_region), "europe-west4");
  EXPECT_EQ(str(vorlan_i_s3_mime_type_file), "/etc/mime.types");
  EXPECT_FALSE(vorlan_i_s3_https);
  EXPECT_TRUE(vorlan_i_s3_use_virtual_host);
  EXPECT_TRUE(vorlan_i_s3_verify_peer);
  EXPECT_EQ(vorlan_i_s3_max_retries, 2147483647);  // the later line wins
  EXPECT_EQ(vorlan_i_s3_retry_delay_ms, 250);
  EXPECT_EQ(vorlan_i_s3_part_size, int64_t{5} << 30);
  EXPECT_EQ(vorlan_i_s3_transfer_streams, 1);
  EXPECT_EQ(vorlan_i_s3_multipart_threshold, 5 << 20);
  EXPECT_EQ(vorlan_i_s3_restore_days, 30);
  EXPECT_EQ(str(vorlan_i_s3_restore_tier), "Bulk");
}

// Each refused line gives the exact message with the file and the line, and no string setting
// (an extra table's, as activation passes one, included) is left behind; numbers and booleans
// stored before keep their values.
TEST_F(ConfigParseTest, ErrorsNameFileAndLine) {
  struct Case {
    std::string contents;
    std::string message;  // what follows "Error parsing <path>:"
  } cases[] = {
      {"use_https = maybe\n", "1: unexpected value for boolean attribute use_https: \"maybe\""},
      {"\n# c\nmax_retries = -1\n",
       "3: unexpected value for integer attribute max_retries: \"-1\""},
      // 2^32 + 100 must not become 100.
      {"retry_delay = 4294967396\n",
       "1: unexpected value for integer attribute retry_delay: \"4294967396\""},
      {"part_size = 9223372036854775808\n",
       "1: unexpected value for long long attribute part_size: \"9223372036854775808\""},
      {"part_size = 5242879\n",
       "1: part_size must be 0 (automatic) or 5242880 to 5368709120: \"5242879\""},
      {"transfer_streams = 65\n", "1: transfer_streams must be 1 to 64: \"65\""},
      {"restore_days = 0\n", "1: restore_days must be at least 1: \"0\""},
      {"restore_tier = Glacier\n",
       "1: restore_tier must be Bulk, Standard or Expedited: \"Glacier\""},
      {"multipart_threshold = 0\n", "1: multipart_threshold must be 5242880 to 5368709120: \"0\""},
      {"host_name=example\n", "1: invalid line: write `key = value`: a blank before `=`"},
      {"host_name= example\n", "1: invalid line: write `key = value`: a blank before `=`"},
      {"host name = h\n", "1: invalid line: write `key = value`: a key is one word"},
      {"host_name =  # none\n", "1: invalid line: write `key = value`: the value is missing"},
      {"Host_Name = h\n", "1: unknown option \"Host_Name\""},
      // Only module activation's extra table knows this key.
      {"bucket_create_location = EU\n", "1: unknown option \"bucket_create_location\""},
      // A long line is one line, and its tail after a "#" is never a setting.
      {"host_name = h " + std::string(300, 'x') + "\n# " + std::string(300, 'c') +
           " host_name = evil\nmax_retries = x\n",
       "3: unexpected value for integer attribute max_retries: \"x\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.contents.substr(0, 40));
    vorlan_i_s3_config_reset();
    vorlan_i_s3_default_hostname = strdup(VORLAN_S3_DEFAULT_HOSTNAME);
    vorlan_i_s3_restore_tier = strdup("t");
    char *extra = nullptr;
    vorlan_i_s3_config_key_t table[] = {vorlan_i_s3_config_key("extra_name", &extra), {}};
    const std::string message = parse("use_https = off\nextra_name = x\n" + c.contents, table);
    EXPECT_EQ(message, "Error parsing " + path_ + ":" + std::to_string(std::stoi(c.message) + 2) +
                           c.message.substr(1) + "\n");
    EXPECT_TRUE(vorlan_i_s3_default_hostname == nullptr && extra == nullptr);
    EXPECT_EQ(vorlan_i_s3_restore_tier, nullptr);
    EXPECT_FALSE(vorlan_i_s3_https);
    // A number out of range is not stored.
    EXPECT_TRUE(vorlan_i_s3_part_size == 0 && vorlan_i_s3_transfer_streams == 8 &&
                vorlan_i_s3_multipart_threshold == 64 << 20);
  }
}

// The MIME table: which line names an extension, what a key's extension is, and files that
// cannot be read.
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
  for (int i = 0; i < 40; i++) long_list += " l" + std::to_string(i);
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
    std::string key, type;
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
  for (const Case &c : cases) EXPECT_EQ(type_of(c.key.c_str()), c.type) << c.key;
}

// Without a file every lookup misses; an unreadable file fails and leaves no table.
TEST_F(MimeTypesTest, WithoutAReadableFileEveryLookupMisses) {
  ASSERT_EQ(vorlan_i_s3_mime_types_parse(nullptr), VORLAN_SUCCESS);
  EXPECT_NE(vorlan_i_s3_mime_extensions, nullptr);
  EXPECT_EQ(type_of("a.txt"), "<none>");
  vorlan_hashtable_destroy_all(&vorlan_i_s3_mime_extensions, free);
  EXPECT_EQ(vorlan_i_s3_mime_types_parse((dir_.path() + "/absent.types").c_str()), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_i_s3_mime_extensions, nullptr);
  EXPECT_EQ(type_of("a.txt"), "<none>");
}

}  // namespace
