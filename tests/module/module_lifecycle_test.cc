// Activation and deactivation of the module's records in this process: where the
// configuration comes from, what a failed registration leaves, and repeated deactivation.
// Failed activations are covered through the host in module_load_test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "temp_dir.h"
#include "vorlan_i_s3.h"

extern "C" vorlan_module_descriptor_t vorlan_gridftp_server_google_cloud_module;

namespace {

using vorlan::test::TempDir;

class ModuleLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vorlan_set_sysconfdir(dir_.path().c_str());
    unsetenv("VORLAN_S3_DEBUG");
  }
  void TearDown() override {
    vorlan_set_sysconfdir(nullptr);
    unsetenv("VORLAN_S3_DEBUG");
  }
  static const vorlan_gfs_storage_iface_t *registered() {
    return static_cast<const vorlan_gfs_storage_iface_t *>(
        vorlan_extension_registry_lookup(&vorlan_i_gfs_dsi_registry, "google_cloud"));
  }
  TempDir dir_;
};

// Without an option string from the server the file comes from ${sysconfdir}; a file without
// host_name keeps the default endpoint.
TEST_F(ModuleLifecycleTest, DefaultConfigPathAndRegistration) {
  dir_.write("vorlan/vorlan-gridftp-server-google-cloud.conf",
             "bucket_create_location = EUROPE-WEST4\nmax_retries = 5\n");
  ASSERT_EQ(vorlan_module_activate(&vorlan_gridftp_server_google_cloud_module), VORLAN_SUCCESS);
  EXPECT_STREQ(vorlan_i_s3_default_hostname, VORLAN_S3_DEFAULT_HOSTNAME);
  EXPECT_STREQ(vorlan_i_s3_gcloud_bucket_location, "EUROPE-WEST4");
  EXPECT_EQ(vorlan_i_s3_max_retries, 5);
  EXPECT_EQ(vorlan_module_activation_count(&vorlan_i_s3_base_module), 1);
  EXPECT_NE(registered(), nullptr);
  // VORLAN_S3_DEBUG is unset: the log writes nothing.
  EXPECT_EQ(vorlan_i_VORLAN_S3_debug_handle.output, nullptr);

  EXPECT_EQ(vorlan_module_deactivate(&vorlan_gridftp_server_google_cloud_module), VORLAN_SUCCESS);
  EXPECT_EQ(registered(), nullptr);
  EXPECT_EQ(vorlan_module_activation_count(&vorlan_i_s3_base_module), 0);
  // Nothing of the settings outlives the module; the next activation starts from defaults.
  EXPECT_EQ(vorlan_i_s3_default_hostname, nullptr);
  EXPECT_EQ(vorlan_i_s3_gcloud_bucket_location, nullptr);
  EXPECT_EQ(vorlan_i_s3_max_retries, 1);
}

// A module that cannot register serves nothing: the load fails with the registry's error and
// the base module's resources are released.
TEST_F(ModuleLifecycleTest, RegistrationFailureFailsActivation) {
  dir_.write("vorlan/vorlan-gridftp-server-google-cloud.conf", "host_name = h\n");
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

// The base module's deactivation may run again without closing its log or freeing its tables
// twice (the sanitizers catch a second fclose or free).
TEST_F(ModuleLifecycleTest, BaseDeactivationIsIdempotent) {
  const std::string log_path = dir_.path() + "/s3.log";
  setenv("VORLAN_S3_DEBUG", ("TRACE|ERROR," + log_path).c_str(), 1);
  const std::string mime = dir_.write("mime.types", "text/plain txt\n");
  vorlan_i_s3_mime_type_file = strdup(mime.c_str());

  ASSERT_EQ(vorlan_i_s3_base_module.activation_func(), VORLAN_SUCCESS);
  EXPECT_STREQ(vorlan_i_s3_mime_type_get("a.txt"), "text/plain");
  EXPECT_NE(vorlan_i_VORLAN_S3_debug_handle.output, nullptr);
  EXPECT_EQ(vorlan_i_s3_base_module.deactivation_func(), VORLAN_SUCCESS);
  EXPECT_EQ(vorlan_i_s3_base_module.deactivation_func(), VORLAN_SUCCESS);
  EXPECT_EQ(vorlan_i_VORLAN_S3_debug_handle.output, nullptr);
  EXPECT_EQ(vorlan_i_VORLAN_S3_debug_handle.owns_output, 0);
  EXPECT_EQ(vorlan_i_s3_mime_type_get("a.txt"), nullptr);
  EXPECT_EQ(TempDir::read(log_path),
            "s3: TRACE: vorlan_l_s3_base_activate: enter\n"
            "s3: TRACE: vorlan_l_s3_base_activate: result=VORLAN_SUCCESS\n");
  vorlan_i_s3_config_reset();
}

}  // namespace
