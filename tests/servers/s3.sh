#!/usr/bin/env bash
# Starts or stops a private S3-compatible server for the S3 and Google Storage tests.
#
#   s3.sh start DIR   npm s3rver on 127.0.0.1 (free port from 4560 up) behind nginx terminating
#                     TLS on 127.0.0.1:443; the S3 service host and a second one standing in for
#                     Google Storage (nginx hands its requests to s3rver as S3 requests), each with
#                     the test buckets as virtual hosts in /etc/hosts; writes DIR/s3.env
#   s3.sh stop DIR    stops what "start" started (by the PIDs it recorded), removes the host names
#                     and the test CA from the system; safe to repeat
#
# S3 addresses carry no port, hence 443. The certificate is signed by a throwaway CA put into the
# system trust store for the run, so the client verifies it as it would verify a real provider's.
# s3rver's check of signature version 2 has two faults (the Date header is left out of the string
# it verifies, and a bucket-level virtual-host request must sign "/bucket/", not "/bucket"); the
# installed copy is corrected with s3rver-signature.patch, so the product signs as the providers
# document. Needs root (port 443, /etc/hosts, the trust store), node with npm, nginx and patch.
set -euo pipefail

S3_SERVER_VERSION=3.7.1
S3_ENDPOINT=aws.parcelvane.test
S3_SERVICE_HOST=s3.$S3_ENDPOINT
GS_SERVICE_HOST=storage.gcs.parcelvane.test
ACCESS_KEY=PVTESTACCESSKEY
# "/" and "+" must survive URL escaping and signing.
SECRET='pv/S3cret+Key/for+tests'
BUCKETS=(pv-media pv-pages pv-pipeline pv-bench pv-gs pv-v4only)
# Stands in for a bucket of a region that takes only signature version 4.
V4_BUCKET=pv-v4only
V4_REGION=eu-central-1
MISSING_BUCKET=pv-missing
FIRST_PORT=4560
CA_NAME=parcelvane-test-s3-ca

. "$(dirname "$0")/lib.sh"

server_args "$@"
HOSTS_MARK="# parcelvane-test-s3 $(instance_tag)"
sdir=$dir/s3
envfile=$dir/s3.env

# /etc/hosts may be a bind mount, so it is rewritten in place rather than replaced.
remove_hosts() {
    if grep -q -- "$HOSTS_MARK" /etc/hosts 2>/dev/null; then
        local kept
        kept=$(grep -v -- "$HOSTS_MARK" /etc/hosts)
        printf '%s\n' "$kept" >/etc/hosts
    fi
}

all_host_names() {
    local b
    echo "$S3_SERVICE_HOST" "$GS_SERVICE_HOST"
    for b in "${BUCKETS[@]}" "$MISSING_BUCKET"; do
        echo "$b.$S3_SERVICE_HOST" "$b.$GS_SERVICE_HOST"
    done
}

add_hosts() {
    remove_hosts
    local name
    for name in $(all_host_names); do
        printf '127.0.0.1 %s %s\n' "$name" "$HOSTS_MARK" >>/etc/hosts
    done
}

stop() {
    stop_pidfile "$sdir/nginx.pid" "$sdir/nginx/nginx.conf"
    stop_pidfile "$sdir/server.pid" "$sdir/config.json"
    rm -f "$sdir/ready" "$envfile"
    remove_hosts
    remove_test_ca $CA_NAME
    return 0
}

# s3rver from the npm registry, into a folder of its own, with its signature check corrected;
# skipped when the pinned version is already there.
install_server() {
    local mods=$sdir/npm
    npm_install "$mods" s3rver $S3_SERVER_VERSION "$sdir/log/npm.out"
    local target=$mods/node_modules/s3rver patchfile=$here/s3rver-signature.patch
    if ! patch -p1 -R --dry-run -s -f -d "$target" <"$patchfile" >/dev/null 2>&1; then
        patch -p1 -N -s -d "$target" <"$patchfile" >"$sdir/log/patch.out" 2>&1 ||
            die "cannot correct s3rver's signature check: $(cat "$sdir/log/patch.out")"
    fi
}

make_certificates() {
    local san="" name
    for name in $(all_host_names) "*.$S3_SERVICE_HOST" "*.$GS_SERVICE_HOST"; do
        san+="DNS:$name,"
    done
    make_test_ca $CA_NAME S3 "$sdir/certs" "$sdir/log/openssl.out" "$S3_SERVICE_HOST" \
        "${san}DNS:localhost,IP:127.0.0.1"
}

# nginx terminates TLS and streams bodies both ways. The second service host is handed to s3rver
# as the S3 host with the same bucket label, so one server holds both providers' buckets.
write_nginx_config() {
    local port=$1 n=$sdir/nginx gsre
    gsre=$(printf '%s' "$GS_SERVICE_HOST" | sed 's/\./\\./g')
    mkdir -p "$n/tmp"
    cat >"$n/nginx.conf" <<EOF
user root;
worker_processes 1;
pid $sdir/nginx.pid;
error_log $sdir/log/nginx-error.log warn;
events { worker_connections 256; }
http {
$(nginx_http_basics "$n" "$sdir/log")
    proxy_request_buffering off;
    proxy_buffering off;
    proxy_http_version 1.1;
    proxy_set_header Connection "";
    ssl_certificate $sdir/certs/server.crt;
    ssl_certificate_key $sdir/certs/server.key;
    upstream s3rver { server 127.0.0.1:$port; keepalive 16; }
    map \$host \$s3_host {
        ~^(?<bucket>[^.]+)\\.$gsre\$ \$bucket.$S3_SERVICE_HOST;
        default $S3_SERVICE_HOST;
    }
    server {
        listen 127.0.0.1:443 ssl;
        server_name $S3_SERVICE_HOST *.$S3_SERVICE_HOST;
        location / { proxy_set_header Host \$host; proxy_pass http://s3rver; }
    }
    # Refuses every request not signed with version 4 for its region, as such a
    # region does: 400 with the error document and the bucket's region header.
    server {
        listen 127.0.0.1:443 ssl;
        server_name $V4_BUCKET.$S3_SERVICE_HOST;
        location / {
            default_type application/xml;
            if (\$http_authorization !~ "^AWS4-HMAC-SHA256 Credential=[^/]*/[0-9]{8}/$V4_REGION/s3/aws4_request,") {
                add_header x-amz-bucket-region $V4_REGION always;
                return 400 '<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>InvalidRequest</Code><Message>The authorization mechanism you have provided is not supported. Please use AWS4-HMAC-SHA256.</Message></Error>';
            }
            proxy_set_header Host \$host;
            proxy_pass http://s3rver;
        }
    }
    server {
        listen 127.0.0.1:443 ssl;
        server_name $GS_SERVICE_HOST *.$GS_SERVICE_HOST;
        location / { proxy_set_header Host \$s3_host; proxy_pass http://s3rver; }
    }
}
EOF
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (port 443, /etc/hosts and the trust store)"
    local tool
    for tool in node npm nginx patch openssl update-ca-certificates; do
        command -v "$tool" >/dev/null || die "$tool not found: run scripts/install-deps.sh"
    done

    # A previous run that was not stopped must not keep the ports busy.
    stop
    port_in_use 443 && die "127.0.0.1:443 is taken by another server"

    mkdir -p "$sdir/log"
    install_server
    make_certificates
    add_hosts

    local port buckets="" b
    port=$(free_port $FIRST_PORT)
    for b in "${BUCKETS[@]}"; do buckets+="\"$b\","; done
    rm -rf "$sdir/data"
    mkdir -p "$sdir/data"
    cat >"$sdir/config.json" <<EOF
{
  "port": $port,
  "serviceEndpoint": "$S3_ENDPOINT",
  "directory": "$sdir/data",
  "readyFile": "$sdir/ready",
  "accessKey": "$ACCESS_KEY",
  "secret": "$SECRET",
  "buckets": [${buckets%,}]
}
EOF
    # setsid keeps the server out of the caller's process group (ctest's).
    NODE_PATH="$sdir/npm/node_modules" setsid node "$here/s3.js" "$sdir/config.json" \
        </dev/null >"$sdir/log/server.out" 2>&1 &
    if ! wait_until 150 test -s "$sdir/ready"; then
        local why
        why=$(tail -n 20 "$sdir/log/server.out" 2>/dev/null || true)
        stop
        die "s3rver did not start: $why"
    fi
    tr -dc '0-9' <"$sdir/ready" >"$sdir/server.pid"

    write_nginx_config "$port"
    nginx -p "$sdir/nginx" -c "$sdir/nginx/nginx.conf" -e "$sdir/log/nginx-error.log" \
        >"$sdir/log/nginx.out" 2>&1 || { stop; die "nginx did not start: $(cat "$sdir/log/nginx.out")"; }
    nginx_up() { [ -s "$sdir/nginx.pid" ] && port_in_use 443; }
    wait_until 50 nginx_up || { stop; die "nginx does not answer on 127.0.0.1:443"; }

    cat >"$envfile.tmp" <<EOF
S3_SERVICE_HOST=$S3_SERVICE_HOST
GS_SERVICE_HOST=$GS_SERVICE_HOST
S3_ACCESS_KEY=$ACCESS_KEY
S3_SECRET=$SECRET
S3_BUCKET=pv-media
S3_PAGES_BUCKET=pv-pages
S3_PIPELINE_BUCKET=pv-pipeline
S3_BENCH_BUCKET=pv-bench
GS_BUCKET=pv-gs
S3_MISSING_BUCKET=$MISSING_BUCKET
S3_V4_BUCKET=$V4_BUCKET
S3_V4_REGION=$V4_REGION
S3_PLAIN_PORT=$port
S3_DATA_DIR=$sdir/data
S3_CA_FILE=$sdir/certs/ca.crt
EOF
    mv "$envfile.tmp" "$envfile"
    echo "s3: https://$S3_SERVICE_HOST and https://$GS_SERVICE_HOST on 127.0.0.1:443 (s3rver on $port)"
}

run_action
