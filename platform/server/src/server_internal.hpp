// Text helpers shared by the server library's source files.
#ifndef VORLAN_SERVER_SERVER_INTERNAL_HPP
#define VORLAN_SERVER_SERVER_INTERNAL_HPP

#include <vorlan/vorlan_gridftp_server.h>

#include <cstdarg>
#include <string>

namespace vorlan::gfs::internal {

std::string vformat(const char *format, va_list args) VORLAN_PRINTF_FORMAT(1, 0);
std::string format(const char *format, ...) VORLAN_PRINTF_FORMAT(1, 2);
// A malloc'ed copy the C caller frees; null when memory is short.
char *malloc_copy(const std::string &text);

}  // namespace vorlan::gfs::internal

#endif  // VORLAN_SERVER_SERVER_INTERNAL_HPP
