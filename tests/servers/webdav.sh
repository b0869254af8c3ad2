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
MODULES=/usr/lib/apache2/modules

. "$(dirname "$0")/lib.sh"

server_args "$@"
sdir=$dir/webdav
envfile=$dir/webdav.env

stop() {
    stop_pidfile "$sdir/nginx/nginx.pid" "$sdir/"
    stop_pidfile "$sdir/apache/apache.pid" "$sdir/"
    rm -f "$envfile"
    remove_test_ca $CA_NAME
    return 0
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
$(nginx_http_basics "$n" "$sdir/log")
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
    make_test_ca $CA_NAME WebDAV "$sdir/certs" "$sdir/log/openssl.out" localhost \
        "DNS:localhost,IP:127.0.0.1"
    printf '%s:%s\n' "$DAV_USER" "$(openssl passwd -apr1 "$DAV_PASSWORD")" >"$sdir/htpasswd"
    chmod 644 "$sdir/htpasswd"
    # The servers' workers run as www-data and must reach their files.
    chmod 755 "$sdir" "$sdir/certs"

    local -A ports=()
    local port=$FIRST_PORT name
    for name in nginx nginxTLS apache apacheTLS; do
        port=$(free_port "$port")
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
        wait_until 100 port_in_use "${ports[$name]}" || die "$name did not start listening on ${ports[$name]}"
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

run_action
