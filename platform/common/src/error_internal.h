/*
 * Helpers shared by the runtime's own sources for building the error objects they return.
 */
#ifndef VORLAN_COMMON_ERROR_INTERNAL_H
#define VORLAN_COMMON_ERROR_INTERNAL_H

#include <cstdarg>

#include <string>

#include <vorlan/vorlan_common.h>

namespace vorlan::common {

// Type of the errors the runtime itself raises (bad path templates, bad log settings).
constexpr int kRuntimeErrorType = 0;

// printf into a std::string of whatever length the text needs.
std::string vformat(const char *format, va_list args) VORLAN_PRINTF_FORMAT(1, 0);

// Builds a runtime error, stores it and returns its code (VORLAN_FAILURE when out of memory).
vorlan_result_t fail(const char *source_file, const char *source_func, int source_line,
                     const char *format, ...) VORLAN_PRINTF_FORMAT(4, 5);

}  // namespace vorlan::common

#define VORLAN_COMMON_FAIL(...) ::vorlan::common::fail(__FILE__, __func__, __LINE__, __VA_ARGS__)

#endif
