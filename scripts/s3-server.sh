#!/usr/bin/env bash
# A local S3-compatible store for the S3 tests and for trying a restore by hand: one node of
# OpenStack Swift 2.30 from Debian's packages (scripts/setup.sh --s3 installs them), with the
# s3api middleware and tempauth, listening on 127.0.0.1 only.
#   scripts/s3-server.sh start [DIR]   starts it; prints the endpoint and credentials as export lines
#   scripts/s3-server.sh stop [DIR]    stops the processes it started, by their process ids
# DIR holds every file of the store: configuration, rings, data, logs and process ids
# (default /tmp/or-s3-store). OR_S3_PORT chooses the S3 port (default 8080); the three storage
# servers and the memcached that tempauth keeps its tokens in listen on the next four ports.
#   eval "$(scripts/s3-server.sh start)"    sets OR_S3_ENDPOINT, AWS_ACCESS_KEY_ID, ...
#
# Known gaps of Swift 2.30 and how they are met:
# - The access key is "account:user" (tempauth's user name); the secret is that user's key.
# - A version listing must be paged by the key and version id of the last entry seen: the
#   NextVersionIdMarker it returns names the first entry of the next page, which would be lost.
#   The client pages that way (src/s3/store.cpp); nothing to do here.
# - Metadata values above 256 bytes are refused unless max_meta_value_length is raised. The limits
#   are read only from /etc/swift/swift.conf, so "start", run as root, writes that file (the
#   limits below); run as another user, it only warns when the file differs.
# - Non-ASCII metadata sent as it is comes back mis-encoded (its UTF-8 bytes read as Latin-1,
#   then encoded again). The client sends such values as RFC 2047 encoded words, which this
#   store keeps and returns unchanged.
# - Metadata too large for these limits is answered 500 InternalError, not 400: the client
#   tries it again like any 5xx before it reports it.
set -euo pipefail

command=${1:-}
dir=${2:-/tmp/or-s3-store}
port=${OR_S3_PORT:-8080}
host=127.0.0.1
access_key=qrt:restore
secret_key=qrt-restore-secret
region=us-east-1
servers=(object container account)
swift_conf=/etc/swift/swift.conf
ready_seconds=60

usage() {
  echo "usage: $0 start|stop [DIR]" >&2
  exit 2
}

backend_port() {  # server name -> its port
  case $1 in
    object) echo $((port + 1)) ;;
    container) echo $((port + 2)) ;;
    account) echo $((port + 3)) ;;
    memcached) echo $((port + 4)) ;;
  esac
}

constraints() {
  cat <<EOF
[swift-hash]
swift_hash_path_suffix = or-s3-store
swift_hash_path_prefix = or-s3-store

[storage-policy:0]
name = Policy-0
default = yes

[swift-constraints]
max_meta_value_length = 4096
max_meta_overall_size = 32768
max_meta_count = 256
max_object_name_length = 1024
EOF
}

write_swift_conf() {
  if [ -f "$swift_conf" ] && [ "$(cat "$swift_conf")" = "$(constraints)" ]; then return; fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "s3-server: $swift_conf is not this store's; run as root to write it" >&2
    return
  fi
  mkdir -p "$(dirname "$swift_conf")"
  constraints >"$swift_conf"
}

common_conf() {  # server name
  cat <<EOF
[DEFAULT]
bind_ip = $host
bind_port = $(backend_port "$1")
workers = 0
user = $(id -un)
swift_dir = $dir/etc
devices = $dir/srv
mount_check = false
log_address = $dir/log/no-syslog
log_level = WARNING
EOF
}

write_configs() {
  local etc=$dir/etc
  for s in "${servers[@]}"; do
    {
      common_conf "$s"
      printf '\n[pipeline:main]\npipeline = %s-server\n\n[app:%s-server]\nuse = egg:swift#%s\n' \
        "$s" "$s" "$s"
    } >"$etc/$s-server.conf"
  done
  # s3api before tempauth; versioned_writes with allow_object_versioning gives S3 versioning;
  # slo carries the multipart uploads; tempauth needs the cache filter and its memcached.
  cat >"$etc/proxy-server.conf" <<EOF
[DEFAULT]
bind_ip = $host
bind_port = $port
workers = 0
user = $(id -un)
swift_dir = $etc
log_address = $dir/log/no-syslog
log_level = WARNING

[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache listing_formats bulk s3api tempauth copy slo dlo versioned_writes symlink proxy-logging proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true

[filter:s3api]
use = egg:swift#s3api
location = $region
max_upload_part_num = 10000

[filter:tempauth]
use = egg:swift#tempauth
user_${access_key%%:*}_${access_key#*:} = $secret_key .admin

[filter:versioned_writes]
use = egg:swift#versioned_writes
allow_versioned_writes = true
allow_object_versioning = true

EOF
  printf '[filter:cache]\nuse = egg:swift#memcache\nmemcache_servers = %s:%s\n\n' \
    "$host" "$(backend_port memcached)" >>"$etc/proxy-server.conf"
  for f in catch_errors gatekeeper healthcheck proxy-logging listing_formats bulk copy slo dlo \
    symlink; do
    printf '[filter:%s]\nuse = egg:swift#%s\n\n' "$f" "${f//-/_}" >>"$etc/proxy-server.conf"
  done
}

build_rings() {
  local etc=$dir/etc
  for s in "${servers[@]}"; do
    swift-ring-builder "$etc/$s.builder" create 6 1 1 >/dev/null
    swift-ring-builder "$etc/$s.builder" add "r1z1-$host:$(backend_port "$s")/d1" 100 >/dev/null
    swift-ring-builder "$etc/$s.builder" rebalance >/dev/null
  done
}

pid_files() { ls "$dir"/run/*.pid 2>/dev/null || true; }

alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

# Something answers on the port (curl's exit status 7 is a refused connection).
port_taken() {
  local status=0
  curl -s -o /dev/null --max-time 5 "http://$1:$2/" || status=$?
  [ "$status" -ne 7 ]
}

# The store's answer to a signed bucket listing.
signed_listing() {
  # curl's --user splits at the first colon, so the "account:user" key goes in the URL with its
  # colon encoded; curl 7.88 does not add x-amz-content-sha256, which s3api requires.
  curl -sf --max-time 5 --aws-sigv4 "aws:amz:$region:s3" \
    -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
    "http://${access_key/:/%3A}:$secret_key@$host:$port/" || true
}

wait_ready() {
  local i
  for ((i = 0; i < ready_seconds; i++)); do
    if signed_listing | grep -q ListAllMyBucketsResult; then
      return 0
    fi
    for f in $(pid_files); do
      if ! alive "$f"; then
        echo "s3-server: $(basename "$f" .pid) ended; see $dir/log" >&2
        return 1
      fi
    done
    sleep 1
  done
  echo "s3-server: no answer on $host:$port after $ready_seconds s; see $dir/log" >&2
  return 1
}

start() {
  for f in $(pid_files); do
    if alive "$f"; then
      echo "s3-server: already running in $dir (stop it first)" >&2
      exit 1
    fi
  done
  command -v swift-proxy-server >/dev/null || {
    echo "s3-server: Swift is not installed; run scripts/setup.sh --s3" >&2
    exit 1
  }
  for p in "$port" $(for s in "${servers[@]}" memcached; do backend_port "$s"; done); do
    if port_taken "$host" "$p"; then
      echo "s3-server: port $p of $host is taken; choose others with OR_S3_PORT" >&2
      exit 1
    fi
  done
  # A fresh store each time; a directory that is not one of ours is left alone.
  if [ -n "$(ls -A "$dir" 2>/dev/null)" ] && [ ! -f "$dir/etc/proxy-server.conf" ]; then
    echo "s3-server: $dir is not empty and holds no store of ours" >&2
    exit 1
  fi
  rm -rf "$dir"
  mkdir -p "$dir/etc" "$dir/srv/d1" "$dir/log" "$dir/run"
  write_swift_conf
  write_configs
  build_rings
  setsid memcached -l "$host" -p "$(backend_port memcached)" -U 0 -m 64 -u "$(id -un)" \
    </dev/null >"$dir/log/memcached.log" 2>&1 &
  echo $! >"$dir/run/memcached.pid"
  for s in "${servers[@]}" proxy; do
    setsid "swift-$s-server" "$dir/etc/$s-server.conf" --verbose </dev/null \
      >"$dir/log/$s.log" 2>&1 &
    echo $! >"$dir/run/$s.pid"
  done
  if ! wait_ready; then
    stop
    exit 1
  fi
  echo "s3-server: ready in $dir" >&2
  cat <<EOF
export OR_S3_ENDPOINT=http://$host:$port
export AWS_ACCESS_KEY_ID=$access_key
export AWS_SECRET_ACCESS_KEY=$secret_key
export AWS_REGION=$region
EOF
}

stop() {
  local f pid i
  for f in $(pid_files); do
    pid=$(cat "$f")
    if alive "$f"; then
      kill -TERM "$pid"
      for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    fi
    rm -f "$f"
  done
  return 0
}

case $command in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
