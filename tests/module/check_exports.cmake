# Fails unless the module's dynamic symbol table defines exactly the module descriptor.
execute_process(COMMAND nm -D --defined-only ${MODULE} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  # Linker-made markers are not exports of ours.
  if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
    list(APPEND exported ${name})
  endif()
endforeach()
if(NOT exported STREQUAL "vorlan_gridftp_server_google_cloud_module")
  message(FATAL_ERROR "module exports: ${exported}")
endif()
message(STATUS "module exports only vorlan_gridftp_server_google_cloud_module")
