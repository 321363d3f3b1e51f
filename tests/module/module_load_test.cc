// The built module loaded from its shared object the way the server loads it, and unloaded
// again with nothing left behind (the leak checker runs at exit); and activated in this
// process, where its settings can be seen.
#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <cstdlib>
#include <memory>
#include <string>

#include "temp_dir.h"
#include "vorlan_i_s3.h"

extern "C" vorlan_module_descriptor_t vorlan_gridftp_server_google_cloud_module;

namespace {

using vorlan::host::Host;
using vorlan::test::TempDir;

class ModuleLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VORLAN_GRIDFTP_SERVER_LOG", server_log_.c_str(), 1); }
  void TearDown() override {
    vorlan_set_sysconfdir(nullptr);
    unsetenv("VORLAN_GRIDFTP_SERVER_LOG");
    unsetenv("VORLAN_S3_DEBUG");
  }
  std::unique_ptr<Host> load(const std::string &config, std::string *error) {
    Host::Options options;
    options.module_path = VORLAN_MODULE_PATH;
    options.option_string = dir_.write("module.conf", config);
    return Host::load(options, error);
  }
  static bool registered() {
    return vorlan_extension_registry_lookup(&vorlan_i_gfs_dsi_registry, "google_cloud") != nullptr;
  }
  TempDir dir_;
  const std::string server_log_ = dir_.path() + "/server.log", debug_log_ = dir_.path() + "/s3.log";
};

TEST_F(ModuleLoadTest, LoadsAsGoogleCloudAndUnloadsCleanly) {
  setenv("VORLAN_S3_DEBUG", ("TRACE|ERROR," + debug_log_).c_str(), 1);
  const std::string mime = dir_.write("mime.types", "text/plain txt\nimage/png png\n");
  const std::string config =
      "host_name = 127.0.0.1:9\nuse_https = false\nmime_types_path = " + mime +
      "\nbucket_create_location = EU\n";
  // Twice: a module unloaded and loaded again starts afresh.
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    std::string error;
    std::unique_ptr<Host> host = load(config, &error);
    ASSERT_NE(host, nullptr) << error;
    ASSERT_NE(host->iface(), nullptr);
    EXPECT_TRUE(registered());
    EXPECT_TRUE(host->violations().empty());
    host.reset();
    EXPECT_FALSE(registered());
  }
  const std::string log = TempDir::read(debug_log_);
  EXPECT_NE(log.find("s3: TRACE: vorlan_l_gcloud_activate: result=VORLAN_SUCCESS\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(TempDir::read(server_log_), "");
}

TEST_F(ModuleLoadTest, ActivationFailuresLeaveNothingLoaded) {
  setenv("VORLAN_S3_DEBUG", ("ERROR," + debug_log_).c_str(), 1);
  struct Case {
    const char *label;
    std::string config, error_part, server_log;
    bool logged;  // the log was open, so the outer module's failure line is in it
  } cases[] = {
      {"unknown option", "bogus = 1\n", "unknown option \"bogus\"", "", false},
      {"unreadable MIME file", "mime_types_path = " + dir_.path() + "/absent.types\n", "",
       "ERROR: There was an error parsing the mime.types file " + dir_.path() + "/absent.types.\n",
       true},
      {"unreadable ca_file", "ca_file = " + dir_.path() + "/absent.pem\n",
       "Error loading ca_file " + dir_.path() + "/absent.pem: ",
       "ERROR: The ca_file " + dir_.path() + "/absent.pem cannot be used.\n", true},
      {"ca_file without a certificate",
       "ca_file = " + dir_.write("key.pem", "no PEM here\n") + "\n",
       "key.pem: it holds no PEM certificate",
       "ERROR: The ca_file " + dir_.path() + "/key.pem cannot be used.\n", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    std::string error;
    std::unique_ptr<Host> host = load(c.config, &error);
    EXPECT_EQ(host, nullptr);
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_FALSE(registered());
    EXPECT_EQ(TempDir::read(server_log_), c.server_log);
    const std::string log = TempDir::read(debug_log_);
    EXPECT_EQ(log.find("s3: ERROR: vorlan_l_gcloud_activate: result=") != std::string::npos,
              c.logged)
        << log;
    dir_.write("server.log", "");
  }
  // A good configuration still loads afterwards; a malformed debug setting only leaves the log
  // off, and tells the server's log why.
  setenv("VORLAN_S3_DEBUG", "TRACE|LOUD", 1);
  std::string error;
  EXPECT_NE(load("max_retries = 2\n", &error), nullptr) << error;
  EXPECT_EQ(TempDir::read(server_log_),
            "WARN: The diagnostic log is off: Unknown debug level \"LOUD\" in VORLAN_S3_DEBUG\n");
}

// Without an option string from the server the file comes from ${sysconfdir}; a file without
// host_name keeps the default endpoint. Nothing of the settings outlives the module, so the
// next activation starts from the defaults. A module that cannot register serves nothing: the
// load fails with the registry's error and the base module's resources are released.
TEST_F(ModuleLoadTest, InProcessDefaultConfigPathNothingLeftAfterDeactivationAndNoRegistration) {
  vorlan_set_sysconfdir(dir_.path().c_str());
  dir_.write("vorlan/vorlan-gridftp-server-google-cloud.conf",
             "bucket_create_location = EUROPE-WEST4\nmax_retries = 5\n");
  ASSERT_EQ(vorlan_module_activate(&vorlan_gridftp_server_google_cloud_module), VORLAN_SUCCESS);
  EXPECT_STREQ(vorlan_i_s3_default_hostname, VORLAN_S3_DEFAULT_HOSTNAME);
  EXPECT_STREQ(vorlan_i_s3_gcloud_bucket_location, "EUROPE-WEST4");
  EXPECT_EQ(vorlan_i_s3_max_retries, 5);
  EXPECT_EQ(vorlan_module_deactivate(&vorlan_gridftp_server_google_cloud_module), VORLAN_SUCCESS);
  EXPECT_EQ(vorlan_i_s3_default_hostname, nullptr);
  EXPECT_EQ(vorlan_i_s3_gcloud_bucket_location, nullptr);
  EXPECT_EQ(vorlan_i_s3_max_retries, 1);

  static int other_table = 0;
  vorlan_module_descriptor_t other = {"other", nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr};
  ASSERT_EQ(vorlan_extension_registry_add(&vorlan_i_gfs_dsi_registry, "google_cloud", &other,
                                          &other_table),
            VORLAN_SUCCESS);
  vorlan_result_t result = vorlan_module_activate(&vorlan_gridftp_server_google_cloud_module);
  EXPECT_NE(result, VORLAN_SUCCESS);
  vorlan_error_release(result);
  EXPECT_EQ(vorlan_module_activation_count(&vorlan_i_s3_base_module), 0);
  EXPECT_EQ(vorlan_i_s3_default_hostname, nullptr);
  EXPECT_EQ(vorlan_extension_registry_remove(&vorlan_i_gfs_dsi_registry, "google_cloud"),
            &other_table);
}

}  // namespace
