// What every unit of the module uses: the never-null "%s" argument, owners of C handles,
// printf into an owned string, the base module's record and the error builders. Nothing here
// holds state of its own; every function may be called from any thread.
#ifndef VORLAN_I_S3_BASE_H
#define VORLAN_I_S3_BASE_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

// A "%s" argument that is never null.
inline const char *vorlan_i_s3_str(const char *s) { return s ? s : ""; }

// Errors: built by module_base.cc (system, out-of-memory and S3 status errors) and
// transfer_state.cc (a transfer's plain module errors).
// The system error "System error in <what>" for `error_number`, and its out-of-memory form
// "System error in malloc" (ENOMEM). Both return the error's code.
vorlan_result_t vorlan_i_s3_system_error(int error_number, const char *what);
vorlan_result_t vorlan_i_s3_malloc_error();
// The error a failed S3 request gives the client, for `path`.
vorlan_object_t *vorlan_i_S3Error_to_error(S3Status status, const char *path,
                                           const S3ErrorDetails *error_details);
// A plain module error (type 6) built from `format`, from source file `source`.
vorlan_result_t vorlan_i_s3_transfer_error(const char *source, const char *func, int line,
                                           const char *format, ...) VORLAN_PRINTF_FORMAT(4, 5);
// Errors: end.

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
