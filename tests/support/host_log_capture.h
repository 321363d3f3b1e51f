// Replaces the server library's log call for one test program, so a module test can check the
// warnings and errors the module gives the server's log. Include it in one file per program.
#ifndef VORLAN_TESTS_HOST_LOG_CAPTURE_H
#define VORLAN_TESTS_HOST_LOG_CAPTURE_H

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// "<level> <text>" of each host log call, in order.
inline std::vector<std::string> host_log;

extern "C" void vorlan_gfs_log_message(int level, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  host_log.push_back(std::to_string(level) + " " + text);
}

#endif
