#!/usr/bin/env bash
# Starts or stops private SMTP servers for the notification tests.
#
#   smtp.sh start DIR   npm smtp-server on 127.0.0.1 (free ports from 4650 up), see smtp.js:
#                       plain (PLAIN LOGIN CRAM-MD5), STARTTLS, implicit TLS, LOGIN only,
#                       no authentication, a foreign mechanism only, and implicit TLS with an
#                       untrusted self-signed certificate; every received
#                       message lands raw in DIR/mail/*.eml; writes DIR/smtp.env
#   smtp.sh stop DIR    stops what "start" started (by the PID it recorded), removes the test CA
#                       from the system trust store; safe to repeat
#
# The servers' certificate is signed by a throwaway CA that is put into the system trust store
# for the run, so the client verifies it exactly as it would verify a real server's. Needs root
# for that, and node with npm for the server.
set -euo pipefail

SMTP_USER=pvmailtest
# ":" and "@" would break naive credential handling; "%" a naive URL one.
SMTP_PASSWORD='Pv-m4il:s3cret@%1'
FIRST_PORT=4650
SMTP_SERVER_VERSION=3.13.6
CA_NAME=parcelvane-test-smtp-ca
CA_FILE=/usr/local/share/ca-certificates/$CA_NAME.crt

die() { echo "smtp.sh: $*" >&2; exit 1; }

usage() { die "usage: smtp.sh start|stop DIR"; }

[ $# -eq 2 ] || usage
action=$1
dir=$(realpath -m "$2")
sdir=$dir/smtp
envfile=$dir/smtp.env
here=$(cd "$(dirname "$0")" && pwd)

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# True when PID is alive and is the node server started with our config.
is_ours() {
    local pid=$1
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$sdir/config.json"
}

stop() {
    local pid="" waited=0
    [ -f "$sdir/server.pid" ] && pid=$(tr -dc '0-9' <"$sdir/server.pid")
    if [ -n "$pid" ] && is_ours "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        while [ $waited -lt 50 ] && is_ours "$pid"; do
            sleep 0.1
            waited=$((waited + 1))
        done
        is_ours "$pid" && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$sdir/server.pid" "$sdir/ready" "$envfile"
    if [ -f "$CA_FILE" ]; then
        rm -f "$CA_FILE"
        update-ca-certificates >/dev/null 2>&1 || true
    fi
    return 0
}

# smtp-server from the npm registry, into a folder of its own; skipped when the pinned version
# is already there.
install_server() {
    local mods=$sdir/npm
    local have=""
    [ -f "$mods/node_modules/smtp-server/package.json" ] &&
        have=$(node -p "require('$mods/node_modules/smtp-server/package.json').version" 2>/dev/null || true)
    [ "$have" = "$SMTP_SERVER_VERSION" ] && return 0
    mkdir -p "$mods"
    npm install --prefix "$mods" --no-audit --no-fund --no-save --loglevel=error \
        "smtp-server@$SMTP_SERVER_VERSION" >"$sdir/log/npm.out" 2>&1 ||
        die "npm install smtp-server@$SMTP_SERVER_VERSION failed: $(tail -n 20 "$sdir/log/npm.out")"
}

make_certificates() {
    local c=$sdir/certs
    rm -rf "$c"
    mkdir -p "$c"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Parcelvane Test SMTP CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$c/ca.key" -out "$c/ca.crt" >"$sdir/log/openssl.out" 2>&1 ||
        die "cannot make the test CA: $(cat "$sdir/log/openssl.out")"
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
        -keyout "$c/server.key" -out "$c/server.csr" >>"$sdir/log/openssl.out" 2>&1 ||
        die "cannot make the server key: $(cat "$sdir/log/openssl.out")"
    printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" "basicConstraints=CA:FALSE" \
        "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >"$c/ext.cnf"
    openssl x509 -req -in "$c/server.csr" -CA "$c/ca.crt" -CAkey "$c/ca.key" -CAcreateserial \
        -days 2 -extfile "$c/ext.cnf" -out "$c/server.crt" >>"$sdir/log/openssl.out" 2>&1 ||
        die "cannot sign the server certificate: $(cat "$sdir/log/openssl.out")"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$c/untrusted.key" -out "$c/untrusted.crt" >>"$sdir/log/openssl.out" 2>&1 ||
        die "cannot make the untrusted certificate: $(cat "$sdir/log/openssl.out")"
    cp "$c/ca.crt" "$CA_FILE"
    update-ca-certificates >"$sdir/log/update-ca.out" 2>&1 ||
        die "update-ca-certificates failed: $(cat "$sdir/log/update-ca.out")"
}

# A server that never got as far as its ready file: found by its config path in its command line.
pkill_started() {
    local p
    for p in $(pgrep -x node || true); do
        is_ours "$p" && kill -KILL "$p" 2>/dev/null || true
    done
    stop
}

next_free_port() {
    local port=$1
    while port_in_use "$port"; do
        port=$((port + 1))
        [ $port -lt $((FIRST_PORT + 200)) ] || die "no free port in $FIRST_PORT..$((FIRST_PORT + 199))"
    done
    echo "$port"
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (the test CA goes into the system trust store)"
    command -v node >/dev/null || die "node not found"
    command -v npm >/dev/null || die "npm not found"
    command -v openssl >/dev/null || die "openssl not found: install the openssl package"
    command -v update-ca-certificates >/dev/null ||
        die "update-ca-certificates not found: install the ca-certificates package"

    # A previous run that was not stopped must not keep the ports busy.
    stop

    mkdir -p "$sdir/log"
    rm -rf "$dir/mail"
    mkdir -p "$dir/mail"
    install_server
    make_certificates

    local names=(plain starttls tls loginOnly noAuth foreignAuth untrusted)
    local -A ports=()
    local port=$FIRST_PORT name
    for name in "${names[@]}"; do
        port=$(next_free_port "$port")
        ports[$name]=$port
        port=$((port + 1))
    done

    cat >"$sdir/config.json" <<EOF
{
  "mailDir": "$dir/mail",
  "readyFile": "$sdir/ready",
  "key": "$sdir/certs/server.key",
  "cert": "$sdir/certs/server.crt",
  "untrustedKey": "$sdir/certs/untrusted.key",
  "untrustedCert": "$sdir/certs/untrusted.crt",
  "user": "$SMTP_USER",
  "password": "${SMTP_PASSWORD//\\/\\\\}",
  "ports": { "plain": ${ports[plain]}, "starttls": ${ports[starttls]}, "tls": ${ports[tls]},
             "loginOnly": ${ports[loginOnly]}, "noAuth": ${ports[noAuth]},
             "foreignAuth": ${ports[foreignAuth]}, "untrusted": ${ports[untrusted]} }
}
EOF

    # setsid keeps the server out of the caller's process group (ctest's); it may fork, so the
    # PID that counts is the one the server writes into its ready file.
    NODE_PATH="$sdir/npm/node_modules" setsid node "$here/smtp.js" "$sdir/config.json" \
        </dev/null >"$sdir/log/server.out" 2>&1 &

    local tries=0
    until [ -s "$sdir/ready" ]; do
        tries=$((tries + 1))
        if [ $tries -ge 150 ]; then
            local why
            why=$(tail -n 20 "$sdir/log/server.out" 2>/dev/null || true)
            pkill_started
            die "the SMTP server did not start: $why"
        fi
        sleep 0.1
    done
    tr -dc '0-9' <"$sdir/ready" >"$sdir/server.pid"
    for name in "${names[@]}"; do
        port_in_use "${ports[$name]}" || { stop; die "nothing answers on 127.0.0.1:${ports[$name]}"; }
    done

    cat >"$envfile.tmp" <<EOF
SMTP_HOST=127.0.0.1
SMTP_PORT_PLAIN=${ports[plain]}
SMTP_PORT_STARTTLS=${ports[starttls]}
SMTP_PORT_TLS=${ports[tls]}
SMTP_PORT_LOGIN_ONLY=${ports[loginOnly]}
SMTP_PORT_NO_AUTH=${ports[noAuth]}
SMTP_PORT_FOREIGN_AUTH=${ports[foreignAuth]}
SMTP_PORT_UNTRUSTED=${ports[untrusted]}
SMTP_USER=$SMTP_USER
SMTP_PASSWORD=$SMTP_PASSWORD
SMTP_REFUSED_LOCAL_PART=refused
SMTP_MAIL_DIR=$dir/mail
SMTP_CA_FILE=$sdir/certs/ca.crt
EOF
    mv "$envfile.tmp" "$envfile"
    echo "smtp: 127.0.0.1 ports $FIRST_PORT..$((port - 1)), mail in $dir/mail (user $SMTP_USER)"
}

case $action in
start) start ;;
stop) stop ;;
*) usage ;;
esac
