#!/usr/bin/env bash
# Starts or stops private WebDAV servers for the WebDAV tests.
#
#   webdav.sh start DIR   nginx (dav + dav-ext) and Apache (mod_dav) on 127.0.0.1, each with a
#                         plain and a TLS port (free ports from 4800 up) and Basic
#                         authentication; writes DIR/webdav.env
#   webdav.sh stop DIR    stops what "start" started (by the PIDs it recorded), removes the test
#                         CA from the system trust store; safe to repeat
#
# Each server serves its own document root (WEBDAV_<SERVER>_ROOT in the env file):
#   /dav/     the WebDAV collection the tests deliver to
#   /moved/   answers every request with 301 to the same name under /dav/ (nginx only)
#   /temp/    the same with 307 (nginx only)
#   /multi/   a WebDAV collection whose PUT answers 207 (nginx only)
#   /small/   a WebDAV collection that refuses bodies over 1 KiB with 413 (nginx only)
#
# The TLS certificates are signed by a throwaway CA put into the system trust store for the
# run, so the client verifies them exactly as it would a real server's. Needs root.
set -euo pipefail

DAV_USER=pvdavtest
# ":", "@", "/" and "%" exercise the escaping of credentials in URLs.
DAV_PASSWORD='Pv-d4v:s3cret@/%1'
FIRST_PORT=4800
CA_NAME=parcelvane-test-webdav-ca
CA_FILE=/usr/local/share/ca-certificates/$CA_NAME.crt
MODULES=/usr/lib/apache2/modules

die() { echo "webdav.sh: $*" >&2; exit 1; }

usage() { die "usage: webdav.sh start|stop DIR"; }

[ $# -eq 2 ] || usage
action=$1
dir=$(realpath -m "$2")
sdir=$dir/webdav
envfile=$dir/webdav.env

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# True when PID is alive and was started with one of our configs.
is_ours() {
    local pid=$1
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$sdir/"
}

stop_pidfile() {
    local f=$1 pid waited=0
    [ -f "$f" ] || return 0
    pid=$(tr -dc '0-9' <"$f")
    if [ -n "$pid" ] && is_ours "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        while [ $waited -lt 50 ] && is_ours "$pid"; do
            sleep 0.1
            waited=$((waited + 1))
        done
        is_ours "$pid" && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$f"
}

stop() {
    stop_pidfile "$sdir/nginx/nginx.pid"
    stop_pidfile "$sdir/apache/apache.pid"
    rm -f "$envfile"
    if [ -f "$CA_FILE" ]; then
        rm -f "$CA_FILE"
        update-ca-certificates >/dev/null 2>&1 || true
    fi
    return 0
}

make_certificates() {
    local c=$sdir/certs
    rm -rf "$c"
    mkdir -p "$c"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Parcelvane Test WebDAV CA" \
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
    cp "$c/ca.crt" "$CA_FILE"
    # Other fixtures update the store too; a run that overlaps one is tried again.
    local tries=0
    until update-ca-certificates >"$sdir/log/update-ca.out" 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 3 ] || die "update-ca-certificates failed: $(cat "$sdir/log/update-ca.out")"
        sleep 1
    done
}

next_free_port() {
    local port=$1
    while port_in_use "$port"; do
        port=$((port + 1))
        [ $port -lt $((FIRST_PORT + 200)) ] || die "no free port in $FIRST_PORT..$((FIRST_PORT + 199))"
    done
    echo "$port"
}

wait_for_port() {
    local port=$1 what=$2 tries=0
    until port_in_use "$port"; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || die "$what did not start listening on $port"
        sleep 0.1
    done
}

write_nginx_config() {
    local n=$sdir/nginx root=$sdir/nginx-root
    mkdir -p "$n/tmp" "$root/dav" "$root/multi" "$root/small"
    chown -R www-data:www-data "$root" "$n/tmp"
    local auth="auth_basic \"Parcelvane test\"; auth_basic_user_file $sdir/htpasswd;"
    local dav="dav_methods PUT DELETE MKCOL COPY MOVE; dav_ext_methods PROPFIND OPTIONS; dav_access user:rw group:rw all:r;"
    cat >"$n/nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_http_dav_ext_module.so;
user www-data;
worker_processes 1;
pid $n/nginx.pid;
error_log $sdir/log/nginx-error.log;
events { worker_connections 256; }
http {
    access_log $sdir/log/nginx-access.log;
    client_body_temp_path $n/tmp/body;
    proxy_temp_path $n/tmp/proxy;
    fastcgi_temp_path $n/tmp/fastcgi;
    uwsgi_temp_path $n/tmp/uwsgi;
    scgi_temp_path $n/tmp/scgi;
    client_max_body_size 0;
    server {
        listen 127.0.0.1:${ports[nginx]};
        listen 127.0.0.1:${ports[nginxTLS]} ssl;
        ssl_certificate $sdir/certs/server.crt;
        ssl_certificate_key $sdir/certs/server.key;
        root $root;
        location /dav/ { $auth $dav }
        location /moved/ { $auth rewrite ^/moved/(.*)\$ /dav/\$1 permanent; }
        location ~ ^/temp/(.*)\$ { return 307 /dav/\$1\$is_args\$args; }
        location /multi/ { $auth $dav if (\$request_method = PUT) { return 207; } }
        location /small/ { $auth $dav client_max_body_size 1k; }
    }
}
EOF
}

write_apache_config() {
    local a=$sdir/apache root=$sdir/apache-root
    mkdir -p "$a/run" "$root/dav"
    chown -R www-data:www-data "$root" "$a/run"
    local m
    {
        for m in mpm_event authz_core authn_core authn_file auth_basic authz_user dav dav_fs mime \
            socache_shmcb ssl; do
            echo "LoadModule ${m}_module $MODULES/mod_$m.so"
        done
        cat <<EOF
ServerRoot $a
ServerName localhost
Listen 127.0.0.1:${ports[apache]}
Listen 127.0.0.1:${ports[apacheTLS]}
PidFile $a/apache.pid
DefaultRuntimeDir $a/run
Mutex file:$a/run default
ErrorLog $sdir/log/apache-error.log
LogLevel warn
User www-data
Group www-data
TypesConfig /etc/mime.types
DavLockDB $a/run/davlock
DocumentRoot $root
SSLSessionCache shmcb:$a/run/ssl_scache(512000)
<Directory />
    Require all denied
</Directory>
<Directory $root/dav>
    Dav On
    AuthType Basic
    AuthName "Parcelvane test"
    AuthUserFile $sdir/htpasswd
    Require valid-user
</Directory>
<VirtualHost 127.0.0.1:${ports[apacheTLS]}>
    SSLEngine on
    SSLCertificateFile $sdir/certs/server.crt
    SSLCertificateKeyFile $sdir/certs/server.key
</VirtualHost>
EOF
    } >"$a/apache.conf"
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (the test CA goes into the system trust store)"
    command -v nginx >/dev/null || die "nginx not found: install nginx and libnginx-mod-http-dav-ext"
    [ -x /usr/sbin/apache2 ] || die "apache2 not found: install the apache2 package"
    [ -f /usr/lib/nginx/modules/ngx_http_dav_ext_module.so ] ||
        die "nginx dav-ext module not found: install libnginx-mod-http-dav-ext"

    stop
    rm -rf "$sdir"
    mkdir -p "$sdir/log"
    make_certificates
    printf '%s:%s\n' "$DAV_USER" "$(openssl passwd -apr1 "$DAV_PASSWORD")" >"$sdir/htpasswd"
    chmod 644 "$sdir/htpasswd"
    # The servers' workers run as www-data and must reach their files.
    chmod 755 "$sdir" "$sdir/certs"

    local -A ports=()
    local port=$FIRST_PORT name
    for name in nginx nginxTLS apache apacheTLS; do
        port=$(next_free_port "$port")
        ports[$name]=$port
        port=$((port + 1))
    done

    write_nginx_config
    nginx -c "$sdir/nginx/nginx.conf" -p "$sdir/nginx" >"$sdir/log/nginx.out" 2>&1 ||
        die "nginx failed: $(cat "$sdir/log/nginx.out" "$sdir/log/nginx-error.log" 2>/dev/null)"
    write_apache_config
    /usr/sbin/apache2 -f "$sdir/apache/apache.conf" -k start >"$sdir/log/apache.out" 2>&1 ||
        die "apache failed: $(cat "$sdir/log/apache.out" "$sdir/log/apache-error.log" 2>/dev/null)"
    for name in nginx nginxTLS apache apacheTLS; do
        wait_for_port "${ports[$name]}" "$name"
    done

    cat >"$envfile" <<EOF
WEBDAV_USER=$DAV_USER
WEBDAV_PASSWORD=$DAV_PASSWORD
WEBDAV_NGINX_PORT=${ports[nginx]}
WEBDAV_NGINX_TLS_PORT=${ports[nginxTLS]}
WEBDAV_NGINX_ROOT=$sdir/nginx-root
WEBDAV_APACHE_PORT=${ports[apache]}
WEBDAV_APACHE_TLS_PORT=${ports[apacheTLS]}
WEBDAV_APACHE_ROOT=$sdir/apache-root
EOF
}

case $action in
start) start ;;
stop) stop ;;
*) usage ;;
esac
