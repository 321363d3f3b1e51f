// The base module: process-wide resources shared by every session (the diagnostic log, the MIME
// table, the checksum cache), and the one translation of S3 client library statuses into the
// errors the client sees (the replies are in status_reply.cc). The S3 client library's global
// state belongs to the sessions.
#include "vorlan_i_s3.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

vorlan_result_t vorlan_l_s3_base_activate();
vorlan_result_t vorlan_l_s3_base_deactivate();

// Writes one piece of a log line with a single stdio call, so a piece is never split by another
// thread's write.
void vorlan_l_s3_debug_write(FILE *output, const std::string &prefix, const char *format,
                             va_list args) VORLAN_PRINTF_FORMAT(3, 0);

void vorlan_l_s3_debug_write(FILE *output, const std::string &prefix, const char *format,
                             va_list args) {
  try {
    std::string piece = prefix;
    piece += vorlan_i_s3_vformat(format, args);
    fwrite(piece.data(), 1, piece.size(), output);
  } catch (const std::bad_alloc &) {
    // Out of memory: the line is dropped, the caller carries on.
  }
}

// One piece of a log line: the thread id and, when `stamped`, the wall clock in seconds and
// nanoseconds, then the caller's message.
void vorlan_l_s3_debug_vprintf(bool stamped, const char *format, va_list args)
    VORLAN_PRINTF_FORMAT(2, 0);

void vorlan_l_s3_debug_vprintf(bool stamped, const char *format, va_list args) {
  FILE *output = vorlan_i_VORLAN_S3_debug_handle.output;
  if (output == nullptr) {
    return;
  }
  const bool ids = vorlan_i_VORLAN_S3_debug_handle.show_thread_ids != 0;
  const auto id = static_cast<unsigned long>(vorlan_thread_self());
  std::string prefix;
  try {
    if (!stamped) {
      if (ids) prefix = vorlan_i_s3_format("%lu::", id);
    } else {
      struct timeval now = {};
      gettimeofday(&now, nullptr);
      const auto seconds = static_cast<unsigned long>(now.tv_sec);
      const auto nanoseconds = static_cast<unsigned long>(now.tv_usec) * 1000UL;
      prefix = ids ? vorlan_i_s3_format("%lu:%lu.%.9lu::", id, seconds, nanoseconds)
                   : vorlan_i_s3_format("%lu.%.9lu::", seconds, nanoseconds);
    }
  } catch (const std::bad_alloc &) {
    return;
  }
  vorlan_l_s3_debug_write(output, prefix, format, args);
}

}  // namespace

vorlan_debug_handle_t vorlan_i_VORLAN_S3_debug_handle = {0, 0, nullptr, 0, 0};

const char *const vorlan_i_s3_debug_level_names[17] = {
    nullptr, "TRACE", "INFO",  nullptr, "DEBUG", nullptr, nullptr, nullptr, "WARN",
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "ERROR",
};

vorlan_module_descriptor_t vorlan_i_s3_base_module = {
    "vorlan_gridftp_server_s3_base",
    vorlan_l_s3_base_activate,
    vorlan_l_s3_base_deactivate,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::string vorlan_i_s3_vformat(const char *format, va_list args) {
  va_list again;
  va_copy(again, args);
  char small[512];
  int length = vsnprintf(small, sizeof small, format, args);
  if (length < 0) {
    va_end(again);
    return {};
  }
  if (static_cast<size_t>(length) < sizeof small) {
    va_end(again);
    return {small, static_cast<size_t>(length)};
  }
  std::string text(static_cast<size_t>(length), '\0');
  vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string vorlan_i_s3_format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  try {
    std::string text = vorlan_i_s3_vformat(format, args);
    va_end(args);
    return text;
  } catch (...) {
    va_end(args);
    throw;
  }
}

void vorlan_i_VORLAN_S3_debug_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vorlan_l_s3_debug_vprintf(false, format, args);
  va_end(args);
}

void vorlan_i_VORLAN_S3_debug_time_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vorlan_l_s3_debug_vprintf(true, format, args);
  va_end(args);
}

vorlan_result_t vorlan_i_s3_system_error(int error_number, const char *what) {
  return vorlan_error_put(
      vorlan_i_gfs_error_system(nullptr, error_number, "System error%s%s", " in ", what));
}

vorlan_result_t vorlan_i_s3_malloc_error() { return vorlan_i_s3_system_error(ENOMEM, "malloc"); }

void vorlan_i_s3_log_result(const char *func_name, vorlan_result_t result) {
  if (result == VORLAN_SUCCESS) {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_TRACE, func_name, "result=VORLAN_SUCCESS\n");
    return;
  }
  // The friendly text is only worth building when the line is written.
  if ((vorlan_i_VORLAN_S3_debug_handle.levels & VORLAN_S3_DEBUG_ERROR) == 0) {
    return;
  }
  char *message = vorlan_error_print_friendly(vorlan_error_peek(result));
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_ERROR, func_name, "result=%#x message=%s\n",
                   static_cast<unsigned>(result), vorlan_i_s3_str(message));
  free(message);
}

vorlan_object_t *vorlan_i_S3Error_to_error(S3Status status, const char *path,
                                           const S3ErrorDetails *error_details) {
  const char *status_name = vorlan_i_s3_str(S3_get_status_name(status));
  const char *accessed = "";
  if (error_details != nullptr && error_details->resource != nullptr) {
    accessed = error_details->resource;
  } else if (path != nullptr) {
    accessed = path;
  }
  const char *message = status_name;
  if (error_details != nullptr && error_details->message != nullptr) {
    message = error_details->message;
  }
  const char *further = "";
  if (error_details != nullptr && error_details->furtherDetails != nullptr) {
    further = error_details->furtherDetails;
  }
  // What a refused key pair means to an operator, in place of the service's account of its
  // signature computation.
  if (status == S3StatusErrorSignatureDoesNotMatch) {
    message =
        "The service refused the key pair: its secret access key is not the one of the "
        "access key id";
    further = "check \"secret_access_key\" in the token document";
  } else if (status == S3StatusErrorInvalidAccessKeyId) {
    message = "The service refused the key pair: it knows no such access key id";
    further = "check \"access_key_id\" in the token document";
  } else if (status == S3StatusErrorRequestTimeTooSkewed) {
    message =
        "The service refused the request's time: this host's clock is more than 15 "
        "minutes off the service's";
    further = "set the clock right (NTP)";
  } else if (strcasestr(message, "requester pays") != nullptr) {
    further =
        "name the project to bill as \"user_project\" in the collection policies or in the "
        "configuration file";
  }
  vorlan_object_t *s3_error = VORLAN_S3_ERROR_OBJECT(&vorlan_i_s3_base_module, VORLAN_ERROR_TYPE_S3,
                                                     "S3 Error accessing \"%s\": %s: %s: %s",
                                                     accessed, status_name, message, further);
  return vorlan_i_s3_status_reply(status, path, error_details, s3_error);
}

namespace {

void vorlan_l_s3_mime_table_release() {
  if (vorlan_i_s3_mime_extensions != nullptr) {
    vorlan_hashtable_destroy_all(&vorlan_i_s3_mime_extensions, free);
    vorlan_i_s3_mime_extensions = nullptr;
  }
}

// Every session's requests trust the ca_file's authorities; a file that cannot be used stops
// activation rather than leave the endpoint's certificates untrusted.
vorlan_result_t vorlan_l_s3_trust_ca_file() {
  if (vorlan_i_s3_ca_file == nullptr) return VORLAN_SUCCESS;
  const S3Status status = S3_set_ca_file(vorlan_i_s3_ca_file);
  if (status == S3StatusOK) return VORLAN_SUCCESS;
  if (status == S3StatusOutOfMemory) return vorlan_i_s3_malloc_error();
  if (status == S3StatusFailedToInitializeRequest) {
    const int saved_errno = errno;
    try {
      std::string subject = vorlan_i_s3_format("Error loading ca_file %s: ", vorlan_i_s3_ca_file);
      return vorlan_i_s3_system_error(saved_errno, subject.c_str());
    } catch (const std::bad_alloc &) {
      return vorlan_i_s3_malloc_error();
    }
  }
  return vorlan_error_put(VORLAN_S3_ERROR_OBJECT(
      &vorlan_i_s3_base_module, VORLAN_ERROR_TYPE_MODULE,
      "Error loading ca_file %s: it holds no PEM certificate, or a malformed one\n",
      vorlan_i_s3_ca_file));
}

vorlan_result_t vorlan_l_s3_base_activate() {
  // A malformed VORLAN_S3_DEBUG leaves the log off; the module works without it, but the
  // operator hears why the log is silent.
  const vorlan_i_s3_error debug_result(vorlan_debug_init(
      "VORLAN_S3_DEBUG", "TRACE INFO DEBUG WARNING ERROR", &vorlan_i_VORLAN_S3_debug_handle));
  if (debug_result.failed()) {
    char *message = vorlan_error_print_friendly(vorlan_error_peek(debug_result.get()));
    vorlan_gfs_log_message(VORLAN_GFS_LOG_WARN, "The diagnostic log is off: %s",
                           vorlan_i_s3_str(message));
    free(message);
  }
  VORLAN_S3_TRACE_ENTER();

  vorlan_result_t result = vorlan_i_s3_mime_types_parse(vorlan_i_s3_mime_type_file);
  if (result != VORLAN_SUCCESS) {
    vorlan_gfs_log_message(VORLAN_GFS_LOG_ERR, "There was an error parsing the mime.types file %s.",
                           vorlan_i_s3_str(vorlan_i_s3_mime_type_file));
    VORLAN_S3_LOG_RESULT(result);
    // The log stays open for the outer module's failure line; vorlan_i_s3_debug_close, called
    // on that path, releases it since a failed activation is never deactivated.
    return result;
  }

  result = vorlan_l_s3_trust_ca_file();
  if (result != VORLAN_SUCCESS) {
    vorlan_gfs_log_message(VORLAN_GFS_LOG_ERR, "The ca_file %s cannot be used.",
                           vorlan_i_s3_ca_file);
    vorlan_l_s3_mime_table_release();
    VORLAN_S3_LOG_RESULT(result);
    return result;
  }

  vorlan_i_s3_checksum_cache_init();
  VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_l_s3_base_deactivate() {
  // Workers use the log, the tables and the module's code: let running ones finish first.
  const int running = vorlan_i_s3_workers_wait(vorlan_i_s3_env->unload_wait_ms);
  if (running > 0) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_ERROR, "%d worker threads still running after %lld ms\n", running,
                  static_cast<long long>(vorlan_i_s3_env->unload_wait_ms));
  }
  vorlan_l_s3_mime_table_release();
  vorlan_i_s3_checksum_cache_destroy();
  if (vorlan_i_s3_ca_file != nullptr) S3_set_ca_file(nullptr);
  // No S3_deinitialize: activation took no reference; each session releases its own.
  vorlan_i_s3_debug_close();
  return VORLAN_SUCCESS;
}

}  // namespace

void vorlan_i_s3_debug_close() {
  if (vorlan_i_VORLAN_S3_debug_handle.owns_output && vorlan_i_VORLAN_S3_debug_handle.output) {
    fclose(vorlan_i_VORLAN_S3_debug_handle.output);
  }
  vorlan_i_VORLAN_S3_debug_handle.owns_output = 0;
  vorlan_i_VORLAN_S3_debug_handle.output = nullptr;
}
