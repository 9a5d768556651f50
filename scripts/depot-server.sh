#!/usr/bin/env bash
# A depot: Debian's nginx on [HOST:]PORT (127.0.0.1 unless a HOST is given)
# serving DIR, where DIR/results/ takes PUT (and GET, with JSON listings) and
# everything else is GET only. Its configuration, pid, logs and temp files
# live in build/depot-PORT/. scripts/depot.sh prepares a DIR for machines
# and serves it through this script.
#
#   depot-server.sh start DIR [HOST:]PORT   starts it in the background, prints its PID
#   depot-server.sh run DIR [HOST:]PORT     runs it in the foreground
#   depot-server.sh stop PID                stops the server that start printed
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 start|run DIR [HOST:]PORT | stop PID" >&2; exit 2; }

# The port of [HOST:]PORT, and where to knock to see it listening.
port_of() { echo "${1##*:}"; }
listen_host() {
  local host=127.0.0.1
  [[ $1 == *:* ]] && host=${1%:*}
  [ "$host" = 0.0.0.0 ] && host=127.0.0.1
  echo "$host"
}

# configure DIR [HOST:]PORT: writes the configuration, prints its path.
configure() {
  local dir host port state user_line=""
  dir=$(cd "$1" && pwd) port=$(port_of "$2") host=127.0.0.1
  [[ $2 == *:* ]] && host=${2%:*}
  [[ $port =~ ^[1-9][0-9]{0,4}$ ]] && [ "$port" -le 65535 ] || usage
  # An IPv4 address or a host name: nothing that could end the listen line.
  [[ $host =~ ^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$ ]] || usage
  state=$ROOT/build/depot-$port
  mkdir -p "$state/tmp" "$dir/results"
  # As root, nginx's workers would run as another user that cannot write a
  # root-owned folder (PUT answers 500).
  [ "$(id -u)" -eq 0 ] && user_line="user root;"
  cat >"$state/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 1;
pid $state/nginx.pid;
error_log $state/error.log;
events { worker_connections 64; }
http {
  access_log $state/access.log;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  # Only the depot's own page is a page; every other file (Morvane.efi,
  # MORVANE.CFG, images, saves) is served as plain bytes.
  types {
    text/html html;
    text/css css;
    text/javascript js;
  }
  default_type application/octet-stream;
  server {
    listen $host:$port;
    root $dir;
    add_header X-Content-Type-Options nosniff always;
    add_header Content-Security-Policy "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'" always;
    location / {
      limit_except GET { deny all; }
    }
    # What machines PUT is never a page here: any name is served as bytes
    # (logs as text), so a machine cannot plant a script on the depot's
    # origin.
    location /results/ {
      dav_methods PUT;
      create_full_put_path on;
      client_max_body_size 20m;
      autoindex on;
      autoindex_format json;
      types { text/plain log; }
      default_type application/octet-stream;
      add_header X-Content-Type-Options nosniff always;
      add_header Content-Security-Policy "default-src 'none'; sandbox" always;
      add_header Cache-Control no-store always;
      limit_except GET PUT { deny all; }
    }
  }
}
CONF
  echo "$state/nginx.conf"
}

case "${1:-}" in
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
