// The Google Cloud storage module as the server loads it: its descriptor (the one symbol the
// shared object exports), activation and deactivation, and the storage-interface table it
// registers as "google_cloud".
#include "vorlan_i_gcloud.h"
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <cstring>

extern "C" {
__attribute__((visibility(
    "default"))) extern vorlan_module_descriptor_t vorlan_gridftp_server_google_cloud_module;
}

char *vorlan_i_s3_gcloud_bucket_location = nullptr;

namespace {

vorlan_result_t vorlan_l_gcloud_activate();
vorlan_result_t vorlan_l_gcloud_deactivate();

const vorlan_version_t local_version = {0, 78, 0, 0};

constexpr const char *vorlan_l_gcloud_dsi_name = "google_cloud";
constexpr const char *vorlan_l_gcloud_config_template =
    "${sysconfdir}/vorlan/vorlan-gridftp-server-google-cloud.conf";

vorlan_gfs_storage_iface_t vorlan_l_gcloud_dsi_iface = {
    0x0B,
    vorlan_i_gcloud_start,  // 1: session start
    vorlan_i_s3_destroy,    // 2: session destroy
    nullptr,
    vorlan_i_s3_send,  // 4: send
    vorlan_i_s3_recv,  // 5: recv
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    vorlan_i_s3_command,  // 10: command
    vorlan_i_s3_stat,     // 11: stat
    nullptr,
    nullptr,
    nullptr,
};

void vorlan_l_gcloud_release_settings() {
  vorlan_i_s3_config_reset();
  free(vorlan_i_s3_gcloud_bucket_location);
  vorlan_i_s3_gcloud_bucket_location = nullptr;
}

vorlan_result_t vorlan_l_gcloud_load_settings(const char *config_path) {
  const vorlan_i_s3_config_key_t extra_keys[] = {
      vorlan_i_s3_config_key("bucket_create_location", &vorlan_i_s3_gcloud_bucket_location),
      {},
  };
  free(vorlan_i_s3_default_hostname);
  vorlan_i_s3_default_hostname = strdup(VORLAN_S3_DEFAULT_HOSTNAME);
  if (vorlan_i_s3_default_hostname == nullptr) {
    return vorlan_i_s3_malloc_error();
  }
  return vorlan_i_s3_config_parse(config_path, extra_keys);
}

vorlan_result_t vorlan_l_gcloud_activate() {
  char *config_path = nullptr;
  vorlan_result_t result = VORLAN_SUCCESS;
  vorlan_gridftp_server_get_config_string(nullptr, &config_path);
  if (config_path == nullptr) {
    result = vorlan_eval_path(vorlan_l_gcloud_config_template, &config_path);
  }
  if (result == VORLAN_SUCCESS) {
    result = vorlan_l_gcloud_load_settings(config_path);
  }
  if (result == VORLAN_SUCCESS) {
    result = vorlan_module_activate(&vorlan_i_s3_base_module);
  }
  // The log opens with the base module; a host that gave no file learns here which one was read.
  if (result == VORLAN_SUCCESS) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "configuration file read: %s\n", config_path);
  }
  free(config_path);
  if (result != VORLAN_SUCCESS) {
    VORLAN_S3_LOG_RESULT(result);
    // A failed base activation leaves its log open for the line above.
    vorlan_i_s3_debug_close();
    vorlan_l_gcloud_release_settings();
    return result;
  }

  result = vorlan_extension_registry_add(&vorlan_i_gfs_dsi_registry, vorlan_l_gcloud_dsi_name,
                                         &vorlan_gridftp_server_google_cloud_module,
                                         &vorlan_l_gcloud_dsi_iface);
  if (result != VORLAN_SUCCESS) {
    // Unregistered, the module cannot serve anything: fail the load instead of hiding it.
    VORLAN_S3_LOG_RESULT(result);
    vorlan_module_deactivate(&vorlan_i_s3_base_module);
    vorlan_l_gcloud_release_settings();
    return result;
  }
  VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_l_gcloud_deactivate() {
  vorlan_extension_registry_remove(&vorlan_i_gfs_dsi_registry, vorlan_l_gcloud_dsi_name);
  vorlan_result_t result = vorlan_module_deactivate(&vorlan_i_s3_base_module);
  // The settings die with the module: nothing may outlive its unloading.
  vorlan_l_gcloud_release_settings();
  return result;
}

}  // namespace

extern "C" {
__attribute__((visibility("default")))
vorlan_module_descriptor_t vorlan_gridftp_server_google_cloud_module = {
    "vorlan_gridftp_server_google_cloud",
    vorlan_l_gcloud_activate,
    vorlan_l_gcloud_deactivate,
    nullptr,
    nullptr,
    &local_version,
    nullptr,
};
}
