#!/usr/bin/env bash
# Real S3 clients (awscli, rclone, s3cmd) and the storage module sharing one s3rver: what the
# module writes, each client reads back byte for byte with the content type, "mtime" and "md5"
# metadata and ETag the module stored; what each client writes (awkward keys, directories with
# and without placeholders, "dir/" markers, "mtime" with a fraction), the module lists, stats,
# checksums and downloads as it was written. Checksums by each algorithm equal Python's, read or
# answered from what was stored beside the object (rclone's "md5chksum", the module's "adler32"
# and "crc32c"), and an upload with a wrong expected checksum stores nothing.
#
# Usage: interop_test.sh HOST_TOOL [S3RVER]   (the fake server: $VORLAN_FAKE_S3_SERVE)
#   HOST_TOOL  the command-line host (vorlan-gridftp-host), with its module beside it
#   S3RVER     the s3rver program (default: $VORLAN_S3RVER, else the copy scripts/setup installs)
# Every failed check is printed; the exit status is non-zero when any failed.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 HOST_TOOL [S3RVER]" >&2
  exit 2
fi
host_tool=$(realpath "$1")
# The fake S3 server program, built beside the tests.
fake_s3_serve=${VORLAN_FAKE_S3_SERVE:-$(dirname "$host_tool")/../tests/fake_s3_serve}
s3rver=${2:-${VORLAN_S3RVER:-$(cd "$(dirname "$0")/../.." && pwd)/.s3rver/node_modules/.bin/s3rver}}
bucket=interop
readonly client_mtime=1700000000.25 module_mtime=1700000000
readonly file_mode=33216 directory_mode=16832 # 0100700 and 040700, as the module reports them
work=$(mktemp -d)
server=""
failures=0

# Keys each side writes below its own prefix; every prefix ("aws/", "mod/", ...) is 4 bytes,
# so the last key is 1,000 bytes in all. s3rver keeps each key as a file path and stops on a
# name above the file system's 255-byte limit, so that key is five segments of under 200.
segment() { printf "%${2}s" "" | tr ' ' "$1"; }
long_key="$(segment a 199)/$(segment b 199)/$(segment c 199)/$(segment d 199)/$(segment e 196)"
keys=(
  "data.bin"
  "with space.txt"
  "plus+sign"
  "per%cent%20"
  "hash#tag"
  "what?q=1&r=2"
  "ünïcødé 日本.txt"
  "empty"
  "nested/deep.bin"
  "parts.bin"
  "$long_key"
)
# Content types the module gives its uploads by extension.
declare -A mime_types=([txt]=text/plain [bin]=application/x-interop-data)

stop() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop EXIT

fail() {
  local message="$*"
  echo "FAIL: ${message//"$long_key"/<the long key>}" >&2
  failures=$((failures + 1))
}
# expect WHAT EXPECTED ACTUAL
expect() {
  if [ "$2" != "$3" ]; then fail "$1: expected '$2', got '$3'"; fi
}

# ---- the tools, each bounded in time and reading only its configuration under $work ----
module() { timeout 30 "$host_tool" --config "$work/module.conf" "$@"; }
with_aws() { timeout 60 /usr/bin/aws --endpoint-url "$endpoint" "$@"; }
with_rclone() { timeout 60 rclone --config "$work/rclone.conf" "$@"; }
with_s3cmd() { timeout 60 s3cmd --config "$work/s3cfg" "$@"; }

isolate_environment() {
  local name
  for name in $(compgen -e); do
    case "$name" in
      # rclone 1.60 fails with LoadCustomCABundleError while AWS_CA_BUNDLE is set.
      AWS_* | RCLONE_* | S3CMD_* | [Hh][Tt][Tt][Pp]*_[Pp][Rr][Oo][Xx][Yy] | [Aa][Ll][Ll]_[Pp]*)
        unset "$name"
        ;;
    esac
  done
  export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
  export NO_PROXY=127.0.0.1 no_proxy=127.0.0.1
  export AWS_CONFIG_FILE="$work/aws-config" AWS_SHARED_CREDENTIALS_FILE="$work/aws-credentials"
  export AWS_EC2_METADATA_DISABLED=true AWS_PAGER=""
  mkdir -p "$HOME"
}

start_s3rver() {
  local attempt port
  mkdir -p "$work/data"
  # Another process may take the port between the probe and s3rver's bind: try again.
  for attempt in 1 2 3; do
    port=$(node -e 'const s = require("net").createServer();
      s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });')
    # s3rver's continuation tokens use a cipher Node 20 only offers with the legacy provider.
    NODE_OPTIONS=--openssl-legacy-provider "$s3rver" --address 127.0.0.1 --port "$port" \
      --directory "$work/data" --configure-bucket "$bucket" --silent >"$work/s3rver.log" 2>&1 &
    server=$!
    for _ in $(seq 200); do
      if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
        endpoint="http://127.0.0.1:$port"
        return 0
      fi
      kill -0 "$server" 2>/dev/null || break
      sleep 0.1
    done
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=""
  done
  echo "s3rver did not start (attempt $attempt); its output:" >&2
  cat "$work/s3rver.log" >&2
  exit 1
}

configure_tools() {
  local address=${endpoint#http://}
  {
    printf 'host_name = %s\nuse_https = false\n' "$address"
    printf 'mime_types_path = %s\n' "$work/mime.types"
    # parts.bin goes up in three parts and comes down in three slices.
    printf 'part_size = 5242880\nmultipart_threshold = 5242880\n'
  } >"$work/module.conf"
  for extension in "${!mime_types[@]}"; do
    printf '%s %s\n' "${mime_types[$extension]}" "$extension"
  done >"$work/mime.types"
  printf '[default]\naws_access_key_id = S3RVER\naws_secret_access_key = S3RVER\n' \
    >"$work/aws-credentials"
  printf '[default]\nregion = us-east-1\ns3 =\n  addressing_style = path\n' >"$work/aws-config"
  printf '%s\n' "[s3rver]" "type = s3" "provider = Other" "access_key_id = S3RVER" \
    "secret_access_key = S3RVER" "endpoint = $endpoint" "force_path_style = true" \
    "region = us-east-1" >"$work/rclone.conf"
  printf '%s\n' "[default]" "access_key = S3RVER" "secret_key = S3RVER" \
    "host_base = $address" "host_bucket = $address" "use_https = False" \
    "signature_v2 = False" "bucket_location = us-east-1" >"$work/s3cfg"
}

# The local tree every side uploads: one file per key, each of its own size (one empty), all
# with the modification time $client_mtime (which rclone stores as "mtime" metadata).
make_tree() {
  local i=0 key size
  for key in "${keys[@]}"; do
    mkdir -p "$work/tree/$(dirname "$key")"
    case "$key" in
      empty) size=0 ;;
      parts.bin) size=$((11 << 20)) ;;
      *) size=$((i * 7919 % 40000 + 1)) ;;
    esac
    head -c "$size" /dev/urandom >"$work/tree/$key"
    touch -d "@$client_mtime" "$work/tree/$key"
    i=$((i + 1))
  done
  expect "bytes in the long key with its prefix" 1000 "$(printf %s "mod/$long_key" | wc -c)"
}

md5_of() { md5sum <"$1" | cut -d' ' -f1; }
# The base64 form of an MD5 given in hexadecimal, as the "md5" metadata holds it.
base64_of() {
  local escaped="" i
  for ((i = 0; i < ${#1}; i += 2)); do escaped+="\\x${1:i:2}"; done
  # shellcheck disable=SC2059 # the format is the bytes, written as \xHH escapes
  printf "$escaped" | base64
}
# The content type the module stores for a key: its extension's in mime.types, else none,
# which s3rver reports as its default.
content_type_of() {
  local extension=${1##*.}
  if [ "$extension" = "$1" ] || [ -z "${mime_types[$extension]:-}" ]; then
    echo binary/octet-stream
  else
    echo "${mime_types[$extension]}"
  fi
}

# ---- what the module writes, as the clients see it ----

module_uploads() {
  local key
  for key in "${keys[@]}"; do
    module put "$work/tree/$key" "/$bucket/mod/$key" --compute-md5 --mtime "$module_mtime" ||
      fail "module put mod/$key"
  done
  module mkdir "/$bucket/made/dir" || fail "module mkdir made/dir"
}

# Each client downloads the module's objects; the copies must equal the tree byte for byte.
clients_read_module_objects() {
  with_aws s3 cp --quiet --recursive "s3://$bucket/mod/" "$work/by-aws/" || fail "aws s3 cp"
  # s3rver names a common prefix only where a key lies directly below it, so rclone's listing
  # by folder misses the long key's folders: one listing of the whole prefix finds it.
  with_rclone copy --fast-list "s3rver:$bucket/mod" "$work/by-rclone" || fail "rclone copy"
  mkdir -p "$work/by-s3cmd"
  with_s3cmd get --quiet --recursive "s3://$bucket/mod/" "$work/by-s3cmd/" || fail "s3cmd get"
  local copy
  for copy in by-aws by-rclone by-s3cmd; do
    diff -r "$work/tree" "$work/$copy" >&2 || fail "$copy: the downloaded objects differ"
  done
}

# The stored headers: rclone for every key, awscli (about a second a call) for a few, s3cmd for
# one.
clients_see_module_metadata() {
  local key md5 md5_base64 type listing
  listing=$(with_rclone lsjson -R -M --hash --files-only --fast-list "s3rver:$bucket/mod") ||
    fail "rclone lsjson"
  for key in "${keys[@]}"; do
    md5=$(md5_of "$work/tree/$key")
    md5_base64=$(base64_of "$md5")
    type=$(content_type_of "$key")
    case "$key" in
      data.bin | "what?q=1&r=2" | ünïcødé*)
        expect "aws: headers of mod/$key" "$type \"$md5\" $module_mtime $md5_base64" \
          "$(with_aws s3api head-object --bucket "$bucket" --key "mod/$key" --output text \
            --query '[ContentType, ETag, Metadata.mtime, Metadata.md5]' | tr '\t' ' ')"
        ;;
    esac
    expect "rclone: headers of mod/$key" "$type $md5 2023-11-14T22:13:20Z $md5_base64" \
      "$(jq -r --arg path "$key" '.[] | select(.Path == $path) | .Metadata as $stored
          | "\($stored["content-type"]) \(.Hashes.md5) \($stored.mtime) \($stored.md5)"' \
          <<<"$listing")"
  done
  # s3cmd prints the user metadata after the object's ACL, which s3rver answers in a form
  # s3cmd cannot read; its debug log shows the response headers before that.
  key="with space.txt"
  local info
  info=$(with_s3cmd --debug info "s3://$bucket/mod/$key" 2>&1 || true)
  md5=$(md5_of "$work/tree/$key")
  expect "s3cmd: content type of mod/$key" "text/plain" \
    "$(sed -n 's/^ *MIME type: *//p' <<<"$info")"
  expect "s3cmd: ETag of mod/$key" "$md5" "$(sed -n 's/^ *MD5 sum: *//p' <<<"$info")"
  grep -q "'x-amz-meta-mtime': '$module_mtime'" <<<"$info" || fail "s3cmd: no mtime metadata"
  grep -qF "'x-amz-meta-md5': '$(base64_of "$md5")'" <<<"$info" ||
    fail "s3cmd: no md5 metadata"
  # The module's directory placeholder: an empty object the clients take for a directory.
  expect "aws: the module's placeholder" "0 application/x-vorlan-dir-placeholder" \
    "$(with_aws s3api head-object --bucket "$bucket" --key made/dir/ \
      --query '[ContentLength, ContentType]' --output text | tr '\t' ' ')"
  expect "rclone: the module's directory" "dir/" "$(with_rclone lsf "s3rver:$bucket/made")"
}

# ---- what the clients write, as the module sees it ----

clients_upload() {
  with_aws s3 cp --quiet --recursive "$work/tree" "s3://$bucket/aws/" || fail "aws s3 cp up"
  with_rclone copy "$work/tree" "s3rver:$bucket/rcl" || fail "rclone copy up"
  with_s3cmd put --quiet --recursive "$work/tree/" "s3://$bucket/s3c/" || fail "s3cmd put"
}

# module_json WHAT ARGS...: the module's JSON lines for a stat or listing, or a failure.
module_json() {
  local what=$1 out
  shift
  if ! out=$(module "$@" --json 2>"$work/module.err"); then
    fail "$what: module $* failed: $(cat "$work/module.err")"
    return 1
  fi
  printf '%s\n' "$out"
}

# Listed, stat-ed, checksummed and downloaded as written, with the "mtime" the client stored or
# else the service's time: rclone stores the file's time with a fraction ("1700000000.25"), read
# as its whole seconds.
module_reads_client_objects() {
  local prefix=$1 key path size mtime entry listing names
  for key in "${keys[@]}"; do
    path="/$bucket/$prefix/$key"
    size=$(stat -c %s "$work/tree/$key")
    if [ "$prefix" = rcl ]; then mtime=$module_mtime; else mtime=service; fi
    if entry=$(module_json "$prefix/$key" stat "$path"); then
      expect "stat $path" "$prefix/$key $size $file_mode $mtime" \
        "$(jq -r --argjson now "$module_mtime" '"\(.name) \(.size) \(.mode) \(
            if .mtime > $now then "service" else .mtime end)"' <<<"$entry")"
    fi
    if listing=$(module_json "$prefix/$key" ls "$(dirname "$path")"); then
      expect "ls of the folder of $path" "$size" \
        "$(jq -r --arg name "$(basename "$key")" 'select(.name == $name) | .size' <<<"$listing")"
    fi
    expect "cksum $path" "$(md5_of "$work/tree/$key")" "$(module cksum "$path" || true)"
    rm -f "$work/copy"
    module get "$path" "$work/copy" || fail "get $path"
    cmp -s "$work/tree/$key" "$work/copy" || fail "get $path: the bytes differ"
  done
  # Not the long key's first folder, which s3rver does not show (it has no key directly below).
  names=$(printf '%s\n' . "${keys[@]}" | grep -vxF "$long_key" | cut -d/ -f1 | sort -u |
    tr '\n' ' ')
  listing=$(module_json "$prefix" ls "/$bucket/$prefix") &&
    expect "ls /$bucket/$prefix" "$names" "$(jq -r .name <<<"$listing" | sort | tr '\n' ' ')"
}

# "dir/" markers as other tools write them, typed or not, empty or with objects below, and
# rclone's mkdir, which writes nothing on S3.
module_reads_client_directories() {
  with_aws s3api put-object --bucket "$bucket" --key dirs/typed/ \
    --content-type application/x-directory >/dev/null || fail "aws put dirs/typed/"
  with_aws s3api put-object --bucket "$bucket" --key dirs/untyped/ >/dev/null ||
    fail "aws put dirs/untyped/"
  with_aws s3api put-object --bucket "$bucket" --key dirs/full/ >/dev/null ||
    fail "aws put dirs/full/"
  with_rclone copyto "$work/tree/data.bin" "s3rver:$bucket/dirs/full/file" || fail "rclone copyto"
  with_rclone mkdir "s3rver:$bucket/dirs/rclone" 2>/dev/null || fail "rclone mkdir"
  local directory="$directory_mode 0" path expected listing path_listing
  for path_listing in "dirs:. full typed untyped" "dirs/typed:." "dirs/untyped/:." \
    "dirs/full:. file"; do
    path=/$bucket/${path_listing%%:*}
    expected=${path_listing#*:}
    if listing=$(module_json "$path" ls "$path"); then
      expect "ls $path" "$expected" "$(jq -r .name <<<"$listing" | xargs -d '\n')"
      expect "ls $path: the directories" "$directory" \
        "$(jq -r --argjson file "$file_mode" 'select(.mode != $file) | "\(.mode) \(.size)"' \
          <<<"$listing" | sort -u)"
    fi
  done
  for path in dirs/typed dirs/untyped dirs/full; do
    listing=$(module_json "$path" stat "/$bucket/$path") &&
      expect "stat /$bucket/$path" "$directory" "$(jq -r '"\(.mode) \(.size)"' <<<"$listing")"
  done
  local status=0
  module stat "/$bucket/dirs/rclone" >/dev/null 2>&1 || status=$?
  expect "stat of the directory rclone mkdir made (nothing on S3: not found)" 4 "$status"
}

# ---- checksums by algorithm, against Python's hashlib, zlib and crc32c ----

# "MD5 ADLER32 CRC32C" of a file, in the module's form (lower-case hexadecimal).
python_sums() {
  /usr/bin/python3 -c 'import crc32c, hashlib, sys, zlib
data = open(sys.argv[1], "rb").read()
print(hashlib.md5(data).hexdigest(), "%08x" % zlib.adler32(data), "%08x" % crc32c.crc32c(data))' "$1"
}
# s3rver keeps an object's body and its ETag (the body's MD5) in files of its own. Changing the
# body after the upload shows that an answer came from what was stored beside the object: a read
# would digest the changed bytes.
s3rver_file() { echo "$work/data/$bucket/$1._S3rver_object"; }
change_body() { printf 'changed!' | dd of="$(s3rver_file "$1")" conv=notrunc status=none; }

module_checksums_by_algorithm() {
  local key prefix md5 adler32 crc32c status size
  # Every side's objects, read once per checksum (a new process has no cache).
  for key in "with space.txt" "nested/deep.bin" parts.bin; do
    read -r md5 adler32 crc32c <<<"$(python_sums "$work/tree/$key")"
    for prefix in mod aws rcl s3c; do
      expect "adler32 of $prefix/$key" "$adler32" \
        "$(module cksum "/$bucket/$prefix/$key" --algorithm adler32 || true)"
      expect "crc32c of $prefix/$key" "$crc32c" \
        "$(module cksum "/$bucket/$prefix/$key" --algorithm CRC32C || true)"
    done
  done

  # A client's expected value is stored beside the object and answers later checksums.
  read -r md5 adler32 crc32c <<<"$(python_sums "$work/tree/parts.bin")"
  module put "$work/tree/parts.bin" "/$bucket/sums/adler32.bin" --checksum-algorithm adler32 \
    --checksum "$adler32" || fail "module put sums/adler32.bin"
  module put "$work/tree/parts.bin" "/$bucket/sums/crc32c.bin" --checksum-algorithm crc32c \
    --checksum "${crc32c^^}" || fail "module put sums/crc32c.bin"
  expect "aws: metadata of sums/adler32.bin and sums/crc32c.bin" "$adler32 $crc32c" \
    "$(with_aws s3api head-object --bucket "$bucket" --key sums/adler32.bin --output text \
      --query Metadata.adler32) $(with_aws s3api head-object --bucket "$bucket" \
      --key sums/crc32c.bin --output text --query Metadata.crc32c)"
  change_body sums/adler32.bin
  change_body sums/crc32c.bin
  expect "adler32 from the metadata" "$adler32" \
    "$(module cksum "/$bucket/sums/adler32.bin" --algorithm adler32 || true)"
  expect "crc32c from the metadata" "$crc32c" \
    "$(module cksum "/$bucket/sums/crc32c.bin" --algorithm crc32c || true)"
  # An upload digests all three for the checksums that follow it in the same session.
  read -r md5 adler32 crc32c <<<"$(python_sums "$work/tree/nested/deep.bin")"
  expect "the three checksums after an upload" "$md5 $adler32 $crc32c" \
    "$(printf '%s\n' "put '$work/tree/nested/deep.bin' /$bucket/sums/deep.bin" \
      "cksum /$bucket/sums/deep.bin" "cksum /$bucket/sums/deep.bin --algorithm adler32" \
      "cksum /$bucket/sums/deep.bin --algorithm crc32c" | module shell -e | xargs)"

  # A wrong value stores nothing, in one PUT or in parts. s3rver keeps what arrived of a PUT
  # whose connection closed before its body ended (nothing, or all but the last byte the module
  # held back, by timing; AWS and Google Cloud keep none), so for one PUT the check is that the
  # whole body never arrived.
  for key in "with space.txt" parts.bin; do
    status=0
    module put "$work/tree/$key" "/$bucket/sums/wrong-$key" --checksum-algorithm adler32 \
      --checksum 0123abcd 2>"$work/module.err" || status=$?
    expect "exit status of $key's upload with a wrong adler32" 7 "$status"
    grep -q INCORRECT_CHECKSUM "$work/module.err" || fail "no INCORRECT_CHECKSUM for $key"
    size=$(with_aws s3api head-object --bucket "$bucket" --key "sums/wrong-$key" \
      --query ContentLength --output text 2>/dev/null || echo none)
    case "$key $size" in
      "with space.txt none" | "parts.bin none") ;;
      "with space.txt "[0-9]*) [ "$size" -lt "$(stat -c %s "$work/tree/$key")" ] ||
        fail "$key's upload with a wrong adler32 stored the whole body" ;;
      *) fail "$key's upload with a wrong adler32 stored an object of $size bytes" ;;
    esac
  done

  # rclone stores the MD5 of a multipart upload as "md5chksum" metadata. s3rver makes every
  # ETag the MD5; as AWS and Google Cloud would, this one names the parts, so the md5chksum is
  # the only MD5 stored.
  read -r md5 adler32 crc32c <<<"$(python_sums "$work/tree/parts.bin")"
  with_rclone copyto --s3-upload-cutoff 5M --s3-chunk-size 5M "$work/tree/parts.bin" \
    "s3rver:$bucket/sums/rclone.bin" || fail "rclone copyto sums/rclone.bin"
  expect "rclone's md5chksum" "$(base64_of "$md5")" \
    "$(with_aws s3api head-object --bucket "$bucket" --key sums/rclone.bin --output text \
      --query Metadata.md5chksum)"
  printf '%s-3' "$(printf x | md5sum | cut -d' ' -f1)" >"$(s3rver_file sums/rclone.bin).md5"
  change_body sums/rclone.bin
  expect "md5 of rclone's multipart object, from its md5chksum" "$md5" \
    "$(module cksum "/$bucket/sums/rclone.bin" || true)"
  # A read sees the changed body.
  [ "$(module cksum "/$bucket/sums/rclone.bin" --algorithm adler32 || true)" != "$adler32" ] ||
    fail "the changed body of sums/rclone.bin still digests as the file"
}

# A session with a key pair signs with Signature V4: awscli, signing with the same pair, reads
# back what the module wrote, from a server that checks every signature (s3rver checks none);
# signed with another secret, awscli is refused.
key_pair_round_trip() {
  local address
  coproc signing { "$fake_s3_serve" --sigv4 AKIDINTEROP:interop-secret pairs; }
  read -r address <&"${signing[0]}"
  printf 'host_name = %s\nuse_https = false\n' "$address" >"$work/pairs.conf"
  printf '{"access_key_id": "AKIDINTEROP", "secret_access_key": "interop-secret"}' \
    >"$work/pairs.json"
  timeout 30 "$host_tool" --config "$work/pairs.conf" --creds "$work/pairs.json" \
    put "$work/tree/data.bin" /pairs/data.bin || fail "module put with a key pair"
  AWS_ACCESS_KEY_ID=AKIDINTEROP AWS_SECRET_ACCESS_KEY=interop-secret timeout 60 /usr/bin/aws \
    --endpoint-url "http://$address" s3 cp s3://pairs/data.bin "$work/pairs.bin" >/dev/null ||
    fail "awscli get with the key pair"
  cmp -s "$work/tree/data.bin" "$work/pairs.bin" || fail "awscli read other bytes than were put"
  ! AWS_ACCESS_KEY_ID=AKIDINTEROP AWS_SECRET_ACCESS_KEY=other timeout 60 /usr/bin/aws \
    --endpoint-url "http://$address" s3 cp s3://pairs/data.bin - >/dev/null 2>&1 ||
    fail "awscli signed with another secret was not refused"
  exec {signing[1]}>&-
  wait "$signing_PID" || true
}

# phase FUNCTION [ARGS]: runs one group of checks and says how long it took.
phase() {
  local start=$SECONDS
  "$@"
  echo "interop: $* ($((SECONDS - start)) s)"
}

for tool in node curl jq /usr/bin/aws rclone s3cmd "$s3rver" "$host_tool" "$fake_s3_serve"; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is not installed (run scripts/setup)" >&2
    exit 1
  fi
done
isolate_environment
start_s3rver
configure_tools
make_tree
phase module_uploads
phase clients_read_module_objects
phase clients_see_module_metadata
phase clients_upload
for prefix in aws rcl s3c; do phase module_reads_client_objects "$prefix"; done
phase module_reads_client_directories
phase module_checksums_by_algorithm
phase key_pair_round_trip

if [ "$failures" -ne 0 ]; then
  echo "interop: $failures check(s) failed" >&2
  exit 1
fi
echo "interop: all checks passed"
