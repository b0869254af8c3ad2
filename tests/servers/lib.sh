# Shared by the test server scripts (sourced, not run): ports, PIDs, waiting, the throwaway CA.
# Servers listen on 127.0.0.1 only.

die() { echo "$(basename "$0"): $*" >&2; exit 1; }

here=$(cd "$(dirname "$0")" && pwd)
usage() { die "usage: $(basename "$0") ${actions:-start|stop} DIR"; }

# The arguments of every server script: ACTION DIR.
server_args() {
    [ $# -eq 2 ] || usage
    action=$1
    dir=$(realpath -m "$2")
}

# Runs the function named by the action, one of $actions (start|stop by default).
run_action() {
    case "|${actions:-start|stop}|" in
    *"|$action|"*) "$action" ;;
    *) usage ;;
    esac
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# The first port from START up (200 tried) where nothing listens.
free_port() {
    local port=$1
    while port_in_use "$port"; do
        port=$((port + 1))
        [ "$port" -lt $(($1 + 200)) ] || die "no free port in $1..$(($1 + 199))"
    done
    echo "$port"
}

# Runs COMMAND every 0.1 s until it succeeds; false after TRIES attempts.
wait_until() {
    local tries=$1 n=0
    shift
    until "$@"; do
        n=$((n + 1))
        [ $n -lt "$tries" ] || return 1
        sleep 0.1
    done
}

# True when PID is alive and is ours: its command line names MARK (a config file or folder of
# this run), or its executable lies below MARK (servers that rewrite their command line).
is_ours() {
    local pid=$1 mark=$2
    [ -r "/proc/$pid/cmdline" ] || return 1
    case $(readlink "/proc/$pid/exe" 2>/dev/null) in "$mark"/*) return 0 ;; esac
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$mark"
}

# Ends the PIDs that are ours (see is_ours): TERM, up to 5 s to go, then KILL.
stop_pids() {
    local mark=$1 pid pids=() waited=0 alive
    shift
    for pid in "$@"; do
        [ -n "$pid" ] && is_ours "$pid" "$mark" && pids+=("$pid")
    done
    [ ${#pids[@]} -gt 0 ] || return 0
    kill -TERM "${pids[@]}" 2>/dev/null || true
    while [ $waited -lt 50 ]; do
        alive=0
        for pid in "${pids[@]}"; do is_ours "$pid" "$mark" && alive=1; done
        [ $alive -eq 0 ] && break
        sleep 0.1
        waited=$((waited + 1))
    done
    for pid in "${pids[@]}"; do
        is_ours "$pid" "$mark" && kill -KILL "$pid" 2>/dev/null || true
    done
    return 0
}

pid_in() { [ -f "$1" ] && tr -dc '0-9' <"$1" || true; }

# Stops the server whose PID FILE holds (when it is ours, see is_ours) and removes FILE.
stop_pidfile() {
    stop_pids "$2" "$(pid_in "$1")"
    rm -f "$1"
}

# The trust store is shared by fixtures that may run at the same time: an update that overlaps
# another is tried again.
update_trust_store() {
    local log=$1 tries=0
    until update-ca-certificates >"$log" 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 3 ] || return 1
        sleep 1
    done
}

# Tells this instance's system-wide traces (trust store, /etc/hosts) from those of another build
# tree's, which its own stop must leave alone.
instance_tag() { printf '%s' "$dir" | md5sum | cut -c1-8; }

ca_file() { echo "/usr/local/share/ca-certificates/$1-$(instance_tag).crt"; }

# make_test_ca NAME TITLE DIR LOG CN SAN: a throwaway CA NAME ("Parcelvane Test TITLE CA") in
# DIR/ca.{key,crt}, a server certificate for CN with subjectAltName SAN in DIR/server.{key,crt},
# the CA put into the system trust store, so clients verify the server as a real one.
make_test_ca() {
    local name=$1 title=$2 c=$3 log=$4 cn=$5 san=$6
    rm -rf "$c"
    mkdir -p "$c"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Parcelvane Test $title CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$c/ca.key" -out "$c/ca.crt" >"$log" 2>&1 ||
        die "cannot make the test CA: $(cat "$log")"
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$cn" \
        -keyout "$c/server.key" -out "$c/server.csr" >>"$log" 2>&1 ||
        die "cannot make the server key: $(cat "$log")"
    printf '%s\n' "subjectAltName=$san" "basicConstraints=CA:FALSE" \
        "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >"$c/ext.cnf"
    openssl x509 -req -in "$c/server.csr" -CA "$c/ca.crt" -CAkey "$c/ca.key" -CAcreateserial \
        -days 2 -extfile "$c/ext.cnf" -out "$c/server.crt" >>"$log" 2>&1 ||
        die "cannot sign the server certificate: $(cat "$log")"
    cp "$c/ca.crt" "$(ca_file "$name")"
    update_trust_store "$log.update" || die "update-ca-certificates failed: $(cat "$log.update")"
}

remove_test_ca() {
    local f
    f=$(ca_file "$1")
    [ -f "$f" ] || return 0
    rm -f "$f"
    update_trust_store /dev/null || true
}

# npm_install DIR PACKAGE VERSION LOG: the pinned version of an npm package into DIR of its own;
# skipped when that version is already there.
npm_install() {
    local mods=$1 pkg=$2 version=$3 log=$4 have=""
    [ -f "$mods/node_modules/$pkg/package.json" ] &&
        have=$(node -p "require('$mods/node_modules/$pkg/package.json').version" 2>/dev/null || true)
    [ "$have" = "$version" ] && return 0
    rm -rf "$mods"
    mkdir -p "$mods"
    npm install --prefix "$mods" --no-audit --no-fund --no-save --loglevel=error \
        "$pkg@$version" >"$log" 2>&1 || die "npm install $pkg@$version failed: $(tail -n 20 "$log")"
}

# The lines of an nginx http block every test server shares: its logs, its scratch folders
# under DIR/tmp (nginx's defaults lie in system folders), and bodies of any size.
nginx_http_basics() { # DIR LOGDIR
    cat <<EOF
    access_log $2/nginx-access.log;
    client_body_temp_path $1/tmp/body;
    proxy_temp_path $1/tmp/proxy;
    fastcgi_temp_path $1/tmp/fastcgi;
    uwsgi_temp_path $1/tmp/uwsgi;
    scgi_temp_path $1/tmp/scgi;
    client_max_body_size 0;
EOF
}
