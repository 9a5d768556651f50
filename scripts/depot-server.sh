#!/usr/bin/env bash
# A depot: Debian's nginx on [HOST:]PORT (127.0.0.1 unless a HOST is given)
# serving DIR, where machines PUT their results into DIR/results/DAY/, each
# name once (the layout below), and everything else is GET only. Its
# configuration, pid, logs and temp files live in build/depot-PORT/.
# scripts/depot.sh prepares a DIR for machines and serves it through this
# script.
#
#   depot-server.sh start DIR [HOST:]PORT   starts it in the background, prints its PID
#   depot-server.sh run DIR [HOST:]PORT     runs it in the foreground
#   depot-server.sh stop PID                stops the server that start printed
#   depot-server.sh check DIR [HOST:]PORT   only checks that nginx can be given these paths
#
#   DEPOT_HOST_REQUESTS  requests one address may have under way at once (default 1024)
#   DEPOT_HOST_PUTS      PUTs one address may have under way at once (default 512)
#
# Started as root, nginx's workers run as www-data, which then owns
# DIR/results/ (and must be able to read DIR); started as anyone else, they
# run as that user.
set -euo pipefail
export LC_ALL=C

# $(...) drops trailing newlines: the '.' keeps a folder name ending in one
# intact, so that it is refused below instead of naming another folder.
ROOT=$(cd "$(dirname "$0")/.." && pwd && echo .) ROOT=${ROOT%$'\n.'}
WORKER_USER=www-data

usage() { echo "usage: $0 start|run|check DIR [HOST:]PORT | stop PID" >&2; exit 2; }
refuse() { echo "depot-server: $*; nginx was not started." >&2; exit 1; }

# The port of [HOST:]PORT, and where to knock to see it listening.
port_of() { echo "${1##*:}"; }
listen_host() {
  local host=127.0.0.1
  [[ $1 == *:* ]] && host=${1%:*}
  [ "$host" = 0.0.0.0 ] && host=127.0.0.1
  echo "$host"
}

# nginx.conf quotes every path, but inside quotes nginx still reads '$' as a
# variable and '\' as an escape, and no quoting carries a line end: a path
# holding any of these (or the characters that end a directive or a block)
# could make nginx serve or write somewhere else, so it is refused.
check_path() {
  local what=$1 path=$2
  [[ $path == /* ]] || refuse "$what '$path' is not an absolute path"
  if [[ $path =~ [\"\'\\\$\;\{\}] ]] || [[ $path =~ [[:cntrl:]] ]]; then
    refuse "$what $(printf '%q' "$path") holds a character nginx cannot take in a path (a quote, '\\', '\$', ';', '{', '}' or a control character): use another folder"
  fi
}

check_address() {
  local port host=127.0.0.1
  port=$(port_of "$1")
  [[ $1 == *:* ]] && host=${1%:*}
  [[ $port =~ ^[1-9][0-9]{0,4}$ ]] && [ "$port" -le 65535 ] || usage
  # An IPv4 address or a host name: nothing that could end the listen line.
  [[ $host =~ ^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$ ]] || usage
}

# check DIR [HOST:]PORT: DIR need not exist yet.
check() {
  local dir=$1
  [[ $dir == /* ]] || dir=$PWD/$dir
  check_address "$2"
  check_path "the depot folder" "$dir"
  check_path "the checkout" "$ROOT"
}

# What machines may PUT, one folder deep under results/ (see docs/depot.md, "What
# machines leave in results/"): DAY/SERIAL-MAC-DAY-HHMMSS-XXXXXXXX (a
# random part per attempt), or the older DAY/SERIAL-MAC-DAY-HHMMSS and
# nodate/SERIAL-MAC-nodate-XXXXXXXX, maybe -2 to -9; then the ending. The
# pattern is matched against the whole decoded path (\z: '$' would also
# match before a trailing line end).
SERIAL='[A-Za-z0-9_][A-Za-z0-9._-]{0,23}'
MAC='[0-9A-F]{12,32}'
RUN="^/results/(?:([0-9]{8})/$SERIAL-$MAC-\\1-[0-9]{6}(?:-[0-9A-Fa-f]{8}|-[2-9])?|nodate/$SERIAL-$MAC-nodate-[0-9A-Fa-f]{8}(?:-[0-9A-Fa-f]{8}|-[2-9])?)"
LINES="$RUN\\.(?:run|(?:flashed|uptodate|unchanged|incomplete|noimage|conflict)\\.log)\\z"
SAVE="$RUN\\.bin\\z"

# What one address may hold at once (see docs/depot.md, "What the depot bounds per
# address"): requests under way, and among them PUTs, whose bodies a
# stranger can trickle a byte at a time. Only numbers reach nginx.
HOST_REQUESTS=${DEPOT_HOST_REQUESTS:-1024}
HOST_PUTS=${DEPOT_HOST_PUTS:-512}
bound() {
  [[ $2 =~ ^[1-9][0-9]{0,4}$ ]] && [ "$2" -le 65535 ] || refuse "$1 must be a number from 1 to 65535, not '$(printf '%s' "$2" | tr -c '[:print:]' '?' | cut -c 1-20)'"
}

# configure DIR [HOST:]PORT: writes the configuration, prints its path.
configure() {
  local dir host port state user_line="" served workers
  check_address "$2"
  bound DEPOT_HOST_REQUESTS "$HOST_REQUESTS"
  bound DEPOT_HOST_PUTS "$HOST_PUTS"
  dir=$(cd "$1" && pwd && echo .) dir=${dir%$'\n.'}
  port=$(port_of "$2") host=127.0.0.1
  [[ $2 == *:* ]] && host=${2%:*}
  check_path "the depot folder" "$dir"
  check_path "the checkout" "$ROOT"
  state=$ROOT/build/depot-$port
  # The writer's socket is a path, and a socket's path holds 107 bytes.
  [ ${#state} -le 90 ] || refuse "the checkout's path is too long for nginx's local socket in $state: use a shorter one"
  mkdir -p "$state/tmp" "$dir/results"
  chmod 755 "$state" "$state/tmp"
  # Workers never run as root: a machine that found a way to make nginx
  # write or read where it should not would then own the host.
  if [ "$(id -u)" -eq 0 ]; then
    id -u "$WORKER_USER" >/dev/null 2>&1 || refuse "there is no user $WORKER_USER for nginx's workers"
    chown -hR "$WORKER_USER:$WORKER_USER" "$dir/results"
    setpriv --reuid="$WORKER_USER" --regid="$WORKER_USER" --clear-groups -- \
      test -r "$dir" -a -x "$dir" -a -w "$dir/results" -a -x "$state/tmp" ||
      refuse "nginx's workers run as $WORKER_USER, which cannot reach $dir (or $state): make it and the folders above it readable (chmod o+rx), or serve another folder"
    user_line="user $WORKER_USER;"
  fi
  # At least two workers, even on one core: a name's PUTs may meet in two
  # processes, and the write-once rule below must hold across them.
  workers=$(nproc 2>/dev/null || echo 2)
  [ "$workers" -ge 2 ] || workers=2
  # What results are served with, wherever they match: bytes (logs as
  # text) and never a page, so that no machine can plant a script on the
  # depot's origin.
  served='types { text/plain log run; }
      default_type application/octet-stream;
      add_header X-Content-Type-Options nosniff always;
      add_header Content-Security-Policy "default-src '"'none'"'; sandbox" always;
      add_header Cache-Control no-store always;'
  cat >"$state/nginx.conf" <<CONF
$user_line
# fwupd's reports are taken by nginx's own JavaScript module.
load_module /usr/lib/nginx/modules/ngx_http_js_module.so;
daemon off;
worker_processes $workers;
worker_rlimit_nofile 20000;
pid "$state/nginx.pid";
error_log "$state/error.log";
# A fleet boots at once: thousands of machines, each with a connection or
# two; what one address may hold of them is bounded below.
events { worker_connections 4096; }
http {
  access_log "$state/access.log";
  client_body_temp_path "$state/tmp/body";
  proxy_temp_path "$state/tmp/proxy";
  fastcgi_temp_path "$state/tmp/fastcgi";
  uwsgi_temp_path "$state/tmp/uwsgi";
  scgi_temp_path "$state/tmp/scgi";
  server_tokens off;
  sendfile on;
  # A connection that stops sending or reading is dropped soon, and its
  # memory with it: a machine's requests never pause for seconds.
  client_header_timeout 10s;
  client_body_timeout 10s;
  send_timeout 20s;
  keepalive_timeout 15s;
  keepalive_requests 100;
  reset_timedout_connection on;
  # Only the depot's own page is a page; every other file (Morvane.efi,
  # MORVANE.CFG, images, saves) is served as plain bytes.
  types {
    text/html html;
    text/css css;
    text/javascript js;
  }
  default_type application/octet-stream;
  # One address may have $HOST_REQUESTS requests under way, $HOST_PUTS of
  # them PUTs; beyond that a GET is answered 503 (busy: try later) and a
  # PUT is dropped, never answered 409, which would send a machine to
  # another name.
  map \$request_method \$put_host { PUT \$binary_remote_addr; default ""; }
  limit_conn_zone \$binary_remote_addr zone=per_host:8m;
  limit_conn_zone \$put_host zone=put_host:8m;
  limit_conn_status 503;
  limit_conn_log_level info;
  # The name a PUT writes (empty for other methods, which neither count
  # against the one-PUT-per-name limit nor face the write-once check).
  map \$request_method \$put_name { PUT \$uri; default ""; }
  map \$request_method \$put_target { PUT \$request_filename; default ""; }
  limit_conn_zone \$put_name zone=put_name:4m;
  js_import fwupd_report from "$ROOT/scripts/fwupd-report.js";
  server {
    listen $host:$port;
    root "$dir";
    limit_conn per_host $HOST_REQUESTS;
    add_header X-Content-Type-Options nosniff always;
    add_header Content-Security-Policy "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'" always;
    location / {
      limit_except GET { deny all; }
    }
    include "$ROOT/scripts/depot-fwupd.conf";
    # Listings (JSON, for the page) and whatever is there; no PUT. The
    # depot's own date and time goes with them: the page's "today".
    location /results/ {
      limit_except GET { deny all; }
      autoindex on;
      autoindex_format json;
      $served
      add_header X-Depot-Time \$time_iso8601 always;
    }
    # A run's first and final log lines, and its save: a PUT is read here,
    # bounded per address, and handed whole to the writer below, which
    # alone writes results/.
    location ~ "$LINES" {
      client_max_body_size 64k;
      $served
      limit_except GET PUT { deny all; }
      limit_conn per_host $HOST_REQUESTS;
      limit_conn put_host $HOST_PUTS;
      # A PUT past its address's bound is dropped with its connection
      # (nginx's 444): answered, its body would still be read, for as long
      # as a stranger trickles it, to keep the connection.
      limit_conn_status 444;
      # Early, so that a body bound to be refused is not read.
      if (-e \$put_target) { return 409; }
      if (\$request_method = PUT) { proxy_pass "http://unix:$state/writer.sock:"; }
    }
    location ~ "$SAVE" {
      client_max_body_size 16448k;
      $served
      limit_except GET PUT { deny all; }
      limit_conn per_host $HOST_REQUESTS;
      limit_conn put_host $HOST_PUTS;
      limit_conn_status 444;
      if (-e \$put_target) { return 409; }
      if (\$request_method = PUT) { proxy_pass "http://unix:$state/writer.sock:"; }
    }
  }
  # The writer: written once, each name. It holds the name first (a PUT of
  # it under way elsewhere, in any worker, answers 409), then looks for the
  # file, then writes it: nginx writes to a temporary file and renames it
  # over the name, and a rename replaces what is there, so the look comes
  # after the hold, which lasts until the rename is done.
  server {
    listen "unix:$state/writer.sock";
    root "$dir";
    proxy_temp_path "$state/tmp/proxy";
    location / { return 403; }
    location ~ "$LINES" {
      client_max_body_size 64k;
      limit_except PUT { deny all; }
      limit_conn put_name 1;
      limit_conn_status 409;
      try_files \$uri @write;
      # Found: nothing here writes, and a PUT of a file answers 405.
      error_page 405 = @taken;
    }
    location ~ "$SAVE" {
      client_max_body_size 16448k;
      limit_except PUT { deny all; }
      limit_conn put_name 1;
      limit_conn_status 409;
      try_files \$uri @write;
      error_page 405 = @taken;
    }
    location @write {
      client_max_body_size 16448k;
      dav_methods PUT;
      create_full_put_path on;
      dav_access user:rw group:r all:r;
    }
    location @taken { return 409; }
  }
}
CONF
  echo "$state/nginx.conf"
}

case "${1:-}" in
  check)
    [ $# -eq 3 ] || usage
    check "$2" "$3"
    ;;
  run)
    [ $# -eq 3 ] || usage
    conf=$(configure "$2" "$3")
    exec nginx -c "$conf" -e "$(dirname "$conf")/error.log"
    ;;
  start)
    [ $# -eq 3 ] || usage
    conf=$(configure "$2" "$3")
    nginx -c "$conf" -e "$(dirname "$conf")/error.log" </dev/null >/dev/null 2>&1 &
    pid=$!
    # Ready when it listens; gone early means the port was taken or the
    # configuration refused (its error log says which).
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || { cat "$(dirname "$conf")/error.log" >&2; exit 1; }
      grep -q "^$pid$" "$(dirname "$conf")/nginx.pid" 2>/dev/null &&
        (exec 3<>"/dev/tcp/$(listen_host "$3")/$(port_of "$3")") 2>/dev/null && { echo "$pid"; exit 0; }
      sleep 0.1
    done
    kill "$pid"; echo "depot-server: nginx did not listen on $3" >&2; exit 1
    ;;
  stop)
    [ $# -eq 2 ] && [[ $2 =~ ^[0-9]+$ ]] || usage
    # Only an nginx master: a stale PID may now name something else.
    [ "$(cat "/proc/$2/comm" 2>/dev/null)" = nginx ] || { echo "depot-server: $2 is no nginx" >&2; exit 1; }
    kill -QUIT "$2"
    for _ in $(seq 50); do kill -0 "$2" 2>/dev/null || exit 0; sleep 0.1; done
    kill -TERM "$2"
    ;;
  *) usage ;;
esac
