// How the storage core and the Google Cloud module build a failure and who holds it.
//
// A failure is an error object in the platform's process-wide table, named by its result code;
// whoever holds the code owns the object. The module's own errors are built by VORLAN_S3_ERROR
// (or VORLAN_S3_ERROR_OBJECT when it becomes another error's cause), which records the source
// file, function and line itself; the system and out-of-memory errors have one helper each, and
// replies come from the host library's vorlan_gfs_ftp_response_error_construct. Inside the
// module a code is held by vorlan_i_s3_error, which releases the object when it is dropped or
// replaced; release() hands the code over at a C boundary (a host's finished_* call, a C-shaped
// function's result), and the receiver owns it. Any thread may build or release an error; an
// owner is guarded by what guards its record.
#ifndef VORLAN_I_S3_ERROR_H
#define VORLAN_I_S3_ERROR_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>

#include <cstddef>
#include <string_view>
#include <utility>

// An error's source file as errors record it: the file's name without folders or extension.
template <size_t N>
struct vorlan_i_s3_source_name {
  char text[N] = {};
  consteval explicit vorlan_i_s3_source_name(const char (&path)[N]) {
    size_t start = 0;
    size_t end = N - 1;
    for (size_t i = 0; i + 1 < N; ++i) {
      if (path[i] == '/') start = i + 1;
    }
    for (size_t i = N - 1; i > start; --i) {
      if (path[i - 1] == '.') {
        end = i - 1;
        break;
      }
    }
    for (size_t i = start; i < end; ++i) text[i - start] = path[i];
  }
};

// A folder's dots are not the extension's.
static_assert(std::string_view(vorlan_i_s3_source_name("/w/a.b/recv_single.cc").text) ==
              "recv_single");

#define VORLAN_S3_SOURCE_FILE                                                           \
  ([]() -> const char * {                                                               \
    static constexpr vorlan_i_s3_source_name<sizeof(__FILE__)> vorlan_l_name(__FILE__); \
    return vorlan_l_name.text;                                                          \
  }())

// A new error object of `type` from `module` (null for none) with a printf-formatted text,
// recorded as built here; the caller owns it, and a null one stands for memory running out.
#define VORLAN_S3_ERROR_OBJECT(module, type, ...)                                          \
  vorlan_error_construct_error((module), nullptr, (type), VORLAN_S3_SOURCE_FILE, __func__, \
                               __LINE__, __VA_ARGS__)
// The module's plain error (type 6) with a printf-formatted text, put in the table: its code.
#define VORLAN_S3_ERROR(...) \
  vorlan_error_put(VORLAN_S3_ERROR_OBJECT(nullptr, VORLAN_ERROR_TYPE_MODULE, __VA_ARGS__))

// The system error "System error in <what>" for `error_number`, and its out-of-memory form
// "System error in malloc" (ENOMEM). Both return the error's code.
vorlan_result_t vorlan_i_s3_system_error(int error_number, const char *what);
vorlan_result_t vorlan_i_s3_malloc_error();

// The error the client sees for a failed S3 request on `path`: the S3 error (type 1, with the
// service's code and message), wrapped in the reply its status calls for.
vorlan_object_t *vorlan_i_S3Error_to_error(S3Status status, const char *path,
                                           const S3ErrorDetails *error_details);
// The reply for `status` around `s3_error` (which it takes over); s3_error itself when the
// status calls for none.
vorlan_object_t *vorlan_i_s3_status_reply(S3Status status, const char *path,
                                          const S3ErrorDetails *error_details,
                                          vorlan_object_t *s3_error);

// One result code and the error object behind it.
class vorlan_i_s3_error {
 public:
  vorlan_i_s3_error() = default;
  explicit vorlan_i_s3_error(vorlan_result_t result) : result_(result) {}
  vorlan_i_s3_error(vorlan_i_s3_error &&other) noexcept : result_(other.release()) {}
  vorlan_i_s3_error &operator=(vorlan_i_s3_error &&other) noexcept {
    reset(other.release());
    return *this;
  }
  vorlan_i_s3_error(const vorlan_i_s3_error &) = delete;
  vorlan_i_s3_error &operator=(const vorlan_i_s3_error &) = delete;
  ~vorlan_i_s3_error() { reset(); }

  bool failed() const { return result_ != VORLAN_SUCCESS; }
  // The code, still owned here: for logging or reading the error.
  vorlan_result_t get() const { return result_; }
  // Hands the code, and the object with it, to the caller.
  vorlan_result_t release() { return std::exchange(result_, VORLAN_SUCCESS); }
  // Holds `result` instead, releasing the object held before.
  void reset(vorlan_result_t result = VORLAN_SUCCESS) {
    if (result_ != VORLAN_SUCCESS && result_ != result) vorlan_error_release(result_);
    result_ = result;
  }
  friend bool operator==(const vorlan_i_s3_error &error, vorlan_result_t result) {
    return error.result_ == result;
  }

 private:
  vorlan_result_t result_ = VORLAN_SUCCESS;
};

#endif  // VORLAN_I_S3_ERROR_H
