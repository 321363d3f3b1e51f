// What every unit of the module uses: the never-null "%s" argument, owners of C handles,
// printf into an owned string, the base module's record, and the error builders of
// vorlan_i_s3_error.h. Nothing here holds state of its own; every function may be called from
// any thread.
#ifndef VORLAN_I_S3_BASE_H
#define VORLAN_I_S3_BASE_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "vorlan_i_s3_error.h"

// A "%s" argument that is never null.
inline const char *vorlan_i_s3_str(const char *s) { return s ? s : ""; }

// Owners of C handles.
struct vorlan_i_s3_file_closer {
  void operator()(FILE *file) const { fclose(file); }
};
using vorlan_i_s3_file_ptr = std::unique_ptr<FILE, vorlan_i_s3_file_closer>;
struct vorlan_i_s3_text_free {
  void operator()(char *text) const { free(text); }
};
using vorlan_i_s3_text_ptr = std::unique_ptr<char, vorlan_i_s3_text_free>;
struct json_t;
struct vorlan_i_s3_json_release {
  void operator()(json_t *json) const;  // json_decref
};
using vorlan_i_s3_json_ptr = std::unique_ptr<json_t, vorlan_i_s3_json_release>;

// printf into an owned string; throws std::bad_alloc when memory runs out.
std::string vorlan_i_s3_format(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);
std::string vorlan_i_s3_vformat(const char *format, va_list args) VORLAN_PRINTF_FORMAT(1, 0);

// The base module: the diagnostic log, the MIME table and the checksum cache (module_base.cc).
extern vorlan_module_descriptor_t vorlan_i_s3_base_module;

#endif  // VORLAN_I_S3_BASE_H
