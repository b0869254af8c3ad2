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

. "$(dirname "$0")/lib.sh"

server_args "$@"
sdir=$dir/smtp
envfile=$dir/smtp.env

stop() {
    stop_pidfile "$sdir/server.pid" "$sdir/config.json"
    rm -f "$sdir/ready" "$envfile"
    remove_test_ca $CA_NAME
    return 0
}

make_certificates() {
    local c=$sdir/certs
    make_test_ca $CA_NAME SMTP "$c" "$sdir/log/openssl.out" localhost "DNS:localhost,IP:127.0.0.1"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$c/untrusted.key" -out "$c/untrusted.crt" >>"$sdir/log/openssl.out" 2>&1 ||
        die "cannot make the untrusted certificate: $(cat "$sdir/log/openssl.out")"
}

# A server that never got as far as its ready file: found by its config path in its command line.
pkill_started() {
    local p
    for p in $(pgrep -x node || true); do
        is_ours "$p" "$sdir/config.json" && kill -KILL "$p" 2>/dev/null || true
    done
    stop
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
    npm_install "$sdir/npm" smtp-server $SMTP_SERVER_VERSION "$sdir/log/npm.out"
    make_certificates

    local names=(plain starttls tls loginOnly noAuth foreignAuth untrusted)
    local -A ports=()
    local port=$FIRST_PORT name
    for name in "${names[@]}"; do
        port=$(free_port "$port")
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

    if ! wait_until 150 test -s "$sdir/ready"; then
        local why
        why=$(tail -n 20 "$sdir/log/server.out" 2>/dev/null || true)
        pkill_started
        die "the SMTP server did not start: $why"
    fi
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

run_action
