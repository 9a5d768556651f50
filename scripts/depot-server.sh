#!/usr/bin/env bash
# A depot for tests: Debian's nginx on 127.0.0.1:PORT serving DIR, where
# DIR/results/ takes PUT (and GET, with JSON listings) and everything else
# is GET only. Its configuration, pid, logs and temp files live in
# build/depot-PORT/.
#
#   depot-server.sh start DIR PORT   starts it in the background, prints its PID
#   depot-server.sh run DIR PORT     runs it in the foreground (the caller backgrounds it)
#   depot-server.sh stop PID         stops the server that start printed
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 start|run DIR PORT | stop PID" >&2; exit 2; }

# configure DIR PORT: writes the configuration, prints its path.
configure() {
  local dir port state user_line=""
  dir=$(cd "$1" && pwd) port=$2
  [[ $port =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || usage
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
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $dir;
    location / {
      limit_except GET { deny all; }
    }
    location /results/ {
      dav_methods PUT;
      create_full_put_path on;
      client_max_body_size 20m;
      autoindex on;
      autoindex_format json;
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
      (exec 3<>"/dev/tcp/127.0.0.1/$3") 2>/dev/null && { echo "$pid"; exit 0; }
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
