# The directory a relative sysconfdir names under an install prefix, as GNUInstallDirs gives it
# (and as the installed libraries find it again at run time, see platform/common eval_path.cc):
# /etc for the prefixes / and /usr, /etc/opt/NAME for /opt/NAME, else PREFIX/etc.
function(vorlan_sysconfdir_of_prefix prefix sysconfdir out)
  string(REGEX REPLACE "/+$" "" prefix "${prefix}")
  if(IS_ABSOLUTE "${sysconfdir}")
    set(dir "${sysconfdir}")
  elseif(prefix STREQUAL "" OR prefix STREQUAL "/usr")
    set(dir "/${sysconfdir}")
  elseif(prefix MATCHES "^/opt/")
    set(dir "/${sysconfdir}${prefix}")
  else()
    set(dir "${prefix}/${sysconfdir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()
