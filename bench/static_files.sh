#!/usr/bin/env bash
# Side-by-side benchmark of quivoone against nginx, lighttpd and civetweb:
# the same 6-byte file, 4 KB file and small PHP page, each server on its own
# free loopback port, loaded in turn with `wrk -t2 -c50 -d5s --latency`: the
# two files in ROUNDS rounds (every server once per round, so a change in
# the machine's load falls on all of them; each server's best round is
# reported), the PHP page once.
# Every server (with the php-cgi processes it starts) is pinned with taskset
# to the same SERVER_CORES cores, and told to use that many workers where it
# has such a setting; wrk runs on the next WRK_CORES cores. Prints, for every
# server and file, requests per second, p99 latency, the CPU time the
# server's processes spent per request (user + system, children included),
# and its requests per second as a ratio to quivoone's.
#
# PHP: quivoone, lighttpd (mod_cgi) and civetweb run php-cgi once per request
# (CGI); nginx cannot run CGI, so it passes PHP to a php-cgi FastCGI process
# (`php-cgi -b`, 4 children), which is not the same kind of work.
#
# Usage: bench/static_files.sh [path to quivoone]   (from the repository root;
# default build/programs/quivoone). Environment: SERVER_CORES (default 2),
# WRK_CORES (default 2), SECONDS_PER_RUN (default 5), ROUNDS (default 3),
# QUIVOONE_OUTPUT (where quivoone's standard output, its access log, goes;
# default a file in the run's folder; /dev/null makes it log nothing to disk,
# as the others by default), PEER_LOGS (off by default; "file" has nginx,
# lighttpd and civetweb write their access logs to files in the run's folder
# too, for a comparison where every server logs).
# Not run by CI; as root
# it installs the missing Debian packages first.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
quivoone=$(realpath "${1:-$here/build/programs/quivoone}")
[ -x "$quivoone" ] || { echo "static_files.sh: no quivoone at $quivoone (build it first)" >&2; exit 1; }
"$here/scripts/ensure-packages.sh" nginx lighttpd civetweb wrk php-cgi curl python3

server_cores=${SERVER_CORES:-2}
peer_logs=${PEER_LOGS:-off}
case $peer_logs in
    off|file) ;;
    *) echo "static_files.sh: PEER_LOGS must be 'off' or 'file', not '$peer_logs'" >&2; exit 1;;
esac
wrk_cores=${WRK_CORES:-2}
seconds=${SECONDS_PER_RUN:-5}
(( server_cores + wrk_cores <= $(nproc) )) ||
    { echo "static_files.sh: $server_cores + $wrk_cores cores asked, $(nproc) present" >&2; exit 1; }
server_set="0-$((server_cores - 1))"
wrk_set="$server_cores-$((server_cores + wrk_cores - 1))"
# Every server command below starts on the server cores (what it starts
# inherits them) and in a session of its own: lighttpd's master and the
# FastCGI parent end their workers by signalling their whole process group,
# which must not be this script's. setsid and taskset exec the server, so $!
# is the server itself.
pin=(setsid taskset -c "$server_set")

work=$(mktemp -d)
# Each other server's access-log setting, from PEER_LOGS.
nginx_log=off lighttpd_modules='"mod_cgi"' lighttpd_log='' civetweb_log=() peer_logs_text=none
if [ "$peer_logs" = file ]; then
    nginx_log=$work/nginx/access.log
    lighttpd_modules='"mod_cgi", "mod_accesslog"'
    lighttpd_log="accesslog.filename = \"$work/lighttpd.access.log\""
    civetweb_log=(-access_log_file "$work/civetweb.access.log")
    peer_logs_text="to files"
fi
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The document root every server shares.
root=$work/www
mkdir -p "$root"
printf 'hello\n' > "$root/small.txt"
head -c 4096 /dev/zero | tr '\0' 'x' > "$root/4k.txt"
cat > "$root/page.php" <<'EOF'
<html><body><p>Hello <?php echo htmlspecialchars($_GET['name'] ?? 'world'); ?>, it is <?php echo date('H:i:s'); ?>.</p></body></html>
EOF
chmod -R a+rX "$work"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits until something answers on the port (at most 5 s).
wait_port() {
    for _ in $(seq 50); do
        curl -s -o /dev/null "http://127.0.0.1:$1/small.txt" && return 0
        sleep 0.1
    done
    return 1
}

declare -A port
servers=(quivoone nginx lighttpd civetweb)

# quivoone: reads ./quivoone.xml and serves its working directory.
port[quivoone]=$(free_port)
cat > "$root/quivoone.xml" <<EOF
<quivoone>
  <quivooneserver address="127.0.0.1" port="${port[quivoone]}"/>
</quivoone>
EOF
(cd "$root" && exec "${pin[@]}" "$quivoone" < /dev/null > "${QUIVOONE_OUTPUT:-$work/quivoone.out}" 2> "$work/quivoone.log") &
pids+=($!)
declare -A roots
roots[quivoone]=$!

# nginx: one worker per server core, PHP through a php-cgi FastCGI process.
port[nginx]=$(free_port)
fcgi_port=$(free_port)
PHP_FCGI_CHILDREN=4 "${pin[@]}" php-cgi -b "127.0.0.1:$fcgi_port" > "$work/php-fcgi.log" 2>&1 &
pids+=($!)
roots[nginx]=$!
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes $server_cores;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log $nginx_log;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path $work/nginx/body;
    fastcgi_temp_path $work/nginx/fastcgi;
    proxy_temp_path $work/nginx/proxy;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { text/plain txt; text/html html; }
    server {
        listen 127.0.0.1:${port[nginx]};
        root $root;
        location ~ \.php\$ {
            include /etc/nginx/fastcgi_params;
            fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
            fastcgi_param REDIRECT_STATUS 200;
            fastcgi_pass 127.0.0.1:$fcgi_port;
        }
    }
}
EOF
"${pin[@]}" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" > "$work/nginx/start.log" 2>&1 &
pids+=($!)
roots[nginx]+=" $!"

# lighttpd: PHP through mod_cgi and php-cgi; one worker process per core.
port[lighttpd]=$(free_port)
cat > "$work/lighttpd.conf" <<EOF
server.modules = ($lighttpd_modules)
$lighttpd_log
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = ${port[lighttpd]}
server.errorlog = "$work/lighttpd.error.log"
server.max-keep-alive-requests = 1000000
server.max-worker = $((server_cores > 1 ? server_cores : 0))
mimetype.assign = (".txt" => "text/plain", ".html" => "text/html")
cgi.assign = (".php" => "/usr/bin/php-cgi")
EOF
"${pin[@]}" lighttpd -D -f "$work/lighttpd.conf" > "$work/lighttpd.log" 2>&1 &
pids+=($!)
roots[lighttpd]=$!

# civetweb: PHP through its CGI support with php-cgi as interpreter.
port[civetweb]=$(free_port)
"${pin[@]}" civetweb -listening_ports "127.0.0.1:${port[civetweb]}" -document_root "$root" \
    -enable_keep_alive yes -tcp_nodelay 1 -num_threads 50 -cgi_pattern '**.php$' \
    -cgi_interpreter /usr/bin/php-cgi "${civetweb_log[@]}" > "$work/civetweb.log" 2>&1 &
pids+=($!)
roots[civetweb]=$!

for s in "${servers[@]}"; do
    wait_port "${port[$s]}" || { echo "static_files.sh: $s did not start" >&2; cat "$work"/*.log >&2 || true; exit 1; }
done

# wrk's p99 line, in milliseconds.
p99_ms() {
    awk '$1 == "99%" {
        v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
        if (u == "us") v /= 1000; else if (u == "s") v *= 1000; else if (u == "m") v *= 60000
        printf "%.2f", v }'
}

# CPU clock ticks (user + system, with those of reaped children) of the
# given processes and all their descendants.
cpu_ticks() {
    python3 - "$@" <<'PY'
import os, sys
parent, ticks = {}, {}
for entry in os.listdir("/proc"):
    if not entry.isdigit():
        continue
    try:
        with open(f"/proc/{entry}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        continue
    parent[int(entry)] = int(fields[1])
    ticks[int(entry)] = sum(int(v) for v in fields[11:15])
wanted = {int(p) for p in sys.argv[1:]}
total = 0
for pid in ticks:
    p = pid
    while p > 1 and p not in wanted:
        p = parent.get(p, 0)
    if p in wanted:
        total += ticks[pid]
print(total)
PY
}
hz=$(getconf CLK_TCK)

declare -A rps p99 cpu
notes=()
files=(small.txt 4k.txt page.php)
rounds=${ROUNDS:-3}
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# One wrk run of server $1 on file $2; keeps it when it is the server's best
# so far on that file (the most requests per second).
measure() {
    local s=$1 f=$2
    local url="http://127.0.0.1:${port[$s]}/$f"
    local status
    if ! status=$(curl -s -o /dev/null -w '%{http_code}' "$url") || [ "$status" != 200 ]; then
        [ -n "${rps[$s,$f]:-}" ] && return
        rps[$s,$f]=n/a; p99[$s,$f]=n/a; cpu[$s,$f]=n/a
        local alive=no; kill -0 ${roots[$s]} 2>/dev/null && alive=yes
        notes+=("$s $f: answered '$status' before the run (server process alive: $alive)")
        return
    fi
    local before after out requests got
    before=$(cpu_ticks ${roots[$s]})
    out=$(taskset -c "$wrk_set" wrk -t2 -c50 -d"${seconds}s" --latency "$url")
    after=$(cpu_ticks ${roots[$s]})
    got=$(awk '/^Requests\/sec:/ { printf "%.0f", $2 }' <<< "$out")
    local best=${rps[$s,$f]:-0}
    best=${best%\*}
    [[ $best =~ ^[0-9]+$ ]] || best=0
    (( got > best )) || return 0
    rps[$s,$f]=$got
    p99[$s,$f]=$(p99_ms <<< "$out")
    requests=$(awk '/ requests in / { print $1 }' <<< "$out")
    cpu[$s,$f]=$(awk -v t=$((after - before)) -v hz="$hz" -v n="$requests" \
        'BEGIN { if (n > 0) printf "%.1f", t / hz / n * 1e6; else printf "n/a" }')
    # Non-2xx answers or socket errors make the figure meaningless.
    if grep -q -e 'Non-2xx' -e 'Socket errors' <<< "$out"; then
        rps[$s,$f]="${rps[$s,$f]}*"
        notes+=("$s $f: $(grep -e 'Non-2xx' -e 'Socket errors' <<< "$out" | tr -s ' ' | paste -sd ';')")
    fi
}

# The files in $rounds rounds, every server in turn within a round, so a
# change in the machine's load falls on all of them; each server's best
# round is reported. The PHP page once: its CGI starts load the machine for
# long after.
for f in small.txt 4k.txt; do
    for ((round = 1; round <= rounds; ++round)); do
        for s in "${servers[@]}"; do
            measure "$s" "$f"
        done
    done
done
for s in "${servers[@]}"; do
    measure "$s" page.php
done

echo "Servers on cores $server_set ($server_cores), wrk on cores $wrk_set ($wrk_cores);" \
    "load average before the runs: $load_before; files: best of $rounds rounds;" \
    "quivoone's access log to ${QUIVOONE_OUTPUT:-a file};" \
    "the other servers' access logs: $peer_logs_text"
echo
echo "| file | server | requests/s | p99 (ms) | CPU µs per request | requests/s vs quivoone |"
echo "|---|---|---|---|---|---|"
for f in "${files[@]}"; do
    q=${rps[quivoone,$f]%\*}
    for s in "${servers[@]}"; do
        r=${rps[$s,$f]%\*}
        ratio=n/a
        if [[ $r =~ ^[0-9]+$ && $q =~ ^[0-9]+$ && $q -gt 0 ]]; then
            ratio=$(awk -v r="$r" -v q="$q" 'BEGIN { printf "%.2f", r / q }')
        fi
        echo "| $f | $s | ${rps[$s,$f]} | ${p99[$s,$f]} | ${cpu[$s,$f]} | $ratio |"
    done
done
echo "(* = wrk saw socket errors or non-2xx answers; n/a = no answer before the run)"
for n in "${notes[@]}"; do echo "  $n"; done
