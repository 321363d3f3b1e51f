#!/usr/bin/env bash
# Installs the build into a temporary prefix with `cmake --install`, packs it with
# `cpack -G DEB` and unpacks the package with `dpkg-deb -x`; checks that each tree holds exactly
# what it should, that the package declares its dependencies and its configuration file and
# carries a readable manual page, that each tree's programs find the platform libraries in
# their own directory, and runs each tree's command-line host against the fake S3 server: the installed one without
# --config, so that the module reads the configuration at its prefix's default path, the
# packaged one (whose default path is /etc) with --config.
#   check_install.sh BUILD_DIR LIBDIR FAKE_S3_SERVE
set -euo pipefail
build=$1 libdir=$2 fake=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/vorlan-install.XXXXXX")
fake_pid=
cleanup() {
  if [ -n "$fake_pid" ]; then kill "$fake_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Nothing from the caller's environment may choose the configuration or the libraries.
unset VORLAN_SYSCONFDIR VORLAN_S3_DEBUG LD_LIBRARY_PATH
conf_name=vorlan-gridftp-server-google-cloud.conf

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" \
  > "$work/cpack.log" 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
deb=$(echo "$work"/package/*.deb)
root=$work/root
dpkg-deb -x "$deb" "$root"

# Exactly these files: no test program, test module or benchmark, and in libdir itself only the
# module (the platform libraries lie in libdir/vorlan).
expect_files() {
  local tree=$1 usr=$2
  diff <(cd "$tree" && find . -type f | sort) <(sort <<LIST
./${usr}bin/vorlan-gridftp-host
./${usr}$libdir/libvorlan_gridftp_server_google_cloud.so
./${usr}$libdir/vorlan/libvorlan_common.so
./${usr}$libdir/vorlan/libvorlan_gridftp_server.so
./${usr}$libdir/vorlan/libvorlan_host.so
./${usr}$libdir/vorlan/libvorlan_s3.so
./${usr}share/doc/vorlan-gridftp-server-google-cloud/copyright
./${usr}share/man/man1/vorlan-gridftp-host.1.gz
./${usr}share/vorlan/mime.types
./etc/vorlan/$conf_name
LIST
  ) || fail "unexpected files in $tree"
}
expect_files "$prefix" ""
expect_files "$root" usr/

[ "$(dpkg-deb -f "$deb" Package)" = vorlan-gridftp-server-google-cloud ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for package in libcurl4 libssl3 libjansson4 libxml2 libstdc++6; do
  [[ "$depends" == *"$package"* ]] || fail "Depends lacks $package: $depends"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)" = "/etc/vorlan/$conf_name" ] ||
  fail "the configuration is not a conffile"
in_deb=' \./usr/share/(doc/.*/copyright|man/man1/vorlan-gridftp-host\.1\.gz)$'
[ "$(dpkg-deb -c "$deb" | grep -cE "$in_deb")" = 2 ] ||
  fail "the package lacks the copyright file or the manual page"
man -l "$root/usr/share/man/man1/vorlan-gridftp-host.1.gz" | grep -A1 '^NAME$' |
  grep -E 'vorlan-gridftp-host +- ' > /dev/null || fail "the manual page has no NAME section"

# The example names every setting; taken up all at once (but ca_file, whose example file does
# not exist) the module accepts it.
conf=$prefix/etc/vorlan/$conf_name
for key in host_name use_https verify_peer ca_file use_virtual_host bucket_create_location \
  default_region max_retries retry_delay mime_types_path part_size restore_days restore_tier; do
  grep -q "^# $key = " "$conf" || fail "the example configuration lacks $key"
done
grep -q "^# mime_types_path = $prefix/share/vorlan/mime.types\$" "$conf" ||
  fail "the example does not name the installed mime.types"
sed -E -i '/^# ca_file /d; s/^# ([a-z_]+ = )/\1/' "$conf"

coproc FAKE { exec "$fake" --bearer install-token b; }
fake_pid=$FAKE_PID
read -r -t 30 -u "${FAKE[0]}" endpoint || fail "the fake server did not start"
printf '{"access_token": "install-token", "sub": "installer", "token_expiry": "2099-01-01T00:00:00.0+00:00"}' \
  > "$work/creds.json"
printf 'host_name = %s\nuse_https = false\n' "$endpoint" >> "$conf"
printf 'host_name = %s\nuse_https = false\nmime_types_path = %s\n' "$endpoint" \
  "$root/usr/share/vorlan/mime.types" > "$work/deb.conf"
head -c 300000 /dev/urandom > "$work/data"

# mkdir, put, ls and get through one tree's host, which must load that tree's module and libraries.
transfer() {
  local tree=$1 dir=$2
  shift 2
  local host=("$tree/bin/vorlan-gridftp-host" --creds "$work/creds.json" "$@")
  "${host[@]}" mkdir "/b/$dir"
  "${host[@]}" put "$work/data" "/b/$dir/data.csv"
  "${host[@]}" ls "/b/$dir" | grep -q ' 300000 .* data\.csv$' || fail "$dir: listing"
  rm -f "$work/back"
  LD_DEBUG=files "${host[@]}" get "/b/$dir/data.csv" "$work/back" 2> "$work/ld.log"
  cmp "$work/data" "$work/back" || fail "$dir: the bytes read back differ"
  grep -q "file=$tree/.*libvorlan_gridftp_server_google_cloud\.so" "$work/ld.log" ||
    fail "$dir: the module was not loaded from $tree"
  "$tree/bin/vorlan-gridftp-host" --help | grep '^Usage: vorlan-gridftp-host' > /dev/null ||
    fail "$dir: --help"
  ! ldd "$tree/bin/vorlan-gridftp-host" "$tree/$libdir/"*.so | grep -E 'libvorlan.* => |not found' |
    grep -vE "=> $tree/(bin/\.\./)?$libdir/vorlan/libvorlan_[a-z0-9_]+\.so " ||
    fail "$dir: a library is not found in $tree/$libdir/vorlan"
}
transfer "$prefix" installed
transfer "$root/usr" packaged --config "$work/deb.conf"
echo "installed and packaged trees work"
