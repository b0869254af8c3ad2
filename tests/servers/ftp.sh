#!/usr/bin/env bash
# Starts or stops private FTP servers for the FTP and FTPS tests.
#
#   ftp.sh start DIR   on 127.0.0.1, each serving its own folder to one user with a password:
#                      - vsftpd, plain FTP with explicit TLS (AUTH TLS), free port from 2121 up;
#                      - vsftpd with implicit TLS on port 990 (the port that means implicit TLS);
#                      - pure-ftpd without TLS (its listings differ from vsftpd's), free port
#                        from 2221 up; unpacked from its Debian package into DIR/ftp/pure-ftpd,
#                        since it cannot be installed beside vsftpd;
#                      writes DIR/ftp.env (KEY=VALUE lines) for the tests
#   ftp.sh stop DIR    stops what "start" started (by the PIDs it recorded); safe to repeat
#
# Configs, certificates, logs and PID files live under DIR/ftp. Needs root: the servers log the
# user on and switch to it. The log-on goes through a PAM service of our own ("pvftp-test",
# pam_unix only), so the user needs no login shell.
set -euo pipefail

FTP_USER=pvftptest
# ":", "/", "@", "#" and "%" exercise the URL escaping of credentials.
FTP_PASSWORD='Pv-ftp:/@#%1'
PAM_SERVICE=pvftp-test

die() { echo "ftp.sh: $*" >&2; exit 1; }
usage() { die "usage: ftp.sh start|stop DIR"; }

[ $# -eq 2 ] || usage
action=$1
dir=$(realpath -m "$2")
fdir=$dir/ftp
envfile=$dir/ftp.env

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

free_port() {
    local port=$1
    while port_in_use "$port"; do
        port=$((port + 1))
        [ "$port" -lt $(($1 + 200)) ] || die "no free port in $1..$(($1 + 199))"
    done
    echo "$port"
}

# True when PID is alive and runs one of our configs or binaries (pure-ftpd
# rewrites its command line: its executable tells).
is_ours() {
    [ -r "/proc/$1/cmdline" ] || return 1
    case $(readlink "/proc/$1/exe" 2>/dev/null) in "$fdir"/*) return 0 ;; esac
    tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "$fdir"
}

stop() {
    local f pid pids=()
    for f in "$fdir"/*.pid; do
        [ -f "$f" ] || continue
        pid=$(tr -dc '0-9' <"$f")
        [ -n "$pid" ] && is_ours "$pid" && pids+=("$pid")
    done
    if [ ${#pids[@]} -gt 0 ]; then
        kill -TERM "${pids[@]}" 2>/dev/null || true
        local waited=0 alive
        while [ $waited -lt 50 ]; do
            alive=0
            for pid in "${pids[@]}"; do is_ours "$pid" && alive=1; done
            [ $alive -eq 0 ] && break
            sleep 0.1
            waited=$((waited + 1))
        done
        for pid in "${pids[@]}"; do
            is_ours "$pid" && kill -KILL "$pid" 2>/dev/null || true
        done
    fi
    rm -f "$fdir"/*.pid "$envfile"
    return 0
}

# pure-ftpd's binaries, unpacked from the Debian package once per build tree.
unpack_pure_ftpd() {
    local root=$fdir/pure-ftpd
    [ -x "$root/usr/sbin/pure-ftpd" ] && return 0
    mkdir -p "$fdir/pkg"
    chmod 0777 "$fdir/pkg"
    (cd "$fdir/pkg" && { apt-get download pure-ftpd >download.log 2>&1 ||
        { apt-get update >>download.log 2>&1 && apt-get download pure-ftpd >>download.log 2>&1; }; }) ||
        die "cannot download the pure-ftpd package: $(tail -n 3 "$fdir/pkg/download.log")"
    mkdir -p "$root"
    dpkg-deb -x "$fdir"/pkg/pure-ftpd_*.deb "$root" || die "cannot unpack pure-ftpd"
}

write_vsftpd_conf() { # file port pasv_min pasv_max implicit
    cat >"$1" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$2
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$fdir/root
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir=$fdir/empty
pam_service_name=$PAM_SERVICE
userlist_enable=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
connect_from_port_20=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$3
pasv_max_port=$4
max_clients=0
max_per_ip=0
xferlog_enable=NO
vsftpd_log_file=$fdir/vsftpd.log
ssl_enable=YES
implicit_ssl=$5
allow_anon_ssl=NO
force_local_logins_ssl=$5
force_local_data_ssl=$5
ssl_ciphers=HIGH
require_ssl_reuse=YES
rsa_cert_file=$fdir/tls/server.pem
rsa_private_key_file=$fdir/tls/server.key
EOF
}

wait_for() { # port name pidfile
    local tries=0
    until port_in_use "$1"; do
        tries=$((tries + 1))
        # (Alive, not "ours": right after the fork it may not have become the server yet.)
        if [ $tries -ge 100 ] || ! kill -0 "$(cat "$3")" 2>/dev/null; then
            local why
            why=$(tail -n 5 "$fdir/$2.out" 2>/dev/null || true)
            stop
            die "$2 is not answering on 127.0.0.1:$1: $why"
        fi
        sleep 0.1
    done
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (the servers switch to the FTP user)"
    command -v vsftpd >/dev/null || die "vsftpd not found: install it (scripts/install-deps.sh)"
    stop

    rm -rf "$fdir/root" "$fdir/pure-root"
    mkdir -p "$fdir"/{root,pure-root,empty,tls}
    chmod 0755 "$dir" "$fdir" "$fdir/empty"

    if ! id "$FTP_USER" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir / \
            --shell /usr/sbin/nologin "$FTP_USER" || die "cannot create user $FTP_USER"
    fi
    # vsftpd enters the home folder before its local_root.
    [ "$(getent passwd "$FTP_USER" | cut -d: -f6)" = / ] || usermod -d / "$FTP_USER"
    printf '%s:%s\n' "$FTP_USER" "$FTP_PASSWORD" | chpasswd || die "cannot set the password"
    chown "$FTP_USER:" "$fdir/root" "$fdir/pure-root"

    if [ ! -f "/etc/pam.d/$PAM_SERVICE" ]; then
        printf 'auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_permit.so\n' \
            >"/etc/pam.d/$PAM_SERVICE"
    fi

    if [ ! -f "$fdir/tls/server.pem" ]; then
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
            -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
            -keyout "$fdir/tls/server.key" -out "$fdir/tls/server.pem" >"$fdir/tls/openssl.out" 2>&1 ||
            die "cannot make a certificate: $(cat "$fdir/tls/openssl.out")"
        chmod 0600 "$fdir/tls/server.key"
    fi

    local port implicit_port=990 pure_port
    port=$(free_port 2121)
    port_in_use $implicit_port && die "port 990 (implicit FTPS) is in use"

    write_vsftpd_conf "$fdir/vsftpd.conf" "$port" 30000 30399 NO
    write_vsftpd_conf "$fdir/vsftpd-implicit.conf" "$implicit_port" 30400 30799 YES
    vsftpd "$fdir/vsftpd.conf" </dev/null >"$fdir/vsftpd.out" 2>&1 &
    echo $! >"$fdir/vsftpd.pid"
    wait_for "$port" vsftpd "$fdir/vsftpd.pid"
    vsftpd "$fdir/vsftpd-implicit.conf" </dev/null >"$fdir/vsftpd-implicit.out" 2>&1 &
    echo $! >"$fdir/vsftpd-implicit.pid"
    wait_for "$implicit_port" vsftpd-implicit "$fdir/vsftpd-implicit.pid"

    unpack_pure_ftpd
    local pure=$fdir/pure-ftpd
    pure_port=$(free_port 2221)
    rm -f "$fdir/pureftpd.passwd" "$fdir/pureftpd.pdb"
    printf '%s\n%s\n' "$FTP_PASSWORD" "$FTP_PASSWORD" |
        "$pure/usr/bin/pure-pw" useradd "$FTP_USER" -u "$FTP_USER" -d "$fdir/pure-root" \
            -f "$fdir/pureftpd.passwd" -F "$fdir/pureftpd.pdb" -m >"$fdir/pure-pw.out" 2>&1 ||
        die "pure-pw failed: $(cat "$fdir/pure-pw.out")"
    # -E: no anonymous log-on; -A: chroot; -H: no name look-ups; -u 1: any uid but root;
    # -Y 0: no TLS, so an "ftps" destination meets a refusal.
    "$pure/usr/sbin/pure-ftpd" -S "127.0.0.1,$pure_port" -P 127.0.0.1 -p 30800:31199 \
        -l "puredb:$fdir/pureftpd.pdb" -E -A -H -u 1 -Y 0 -c 100 -C 100 \
        </dev/null >"$fdir/pure-ftpd.out" 2>&1 &
    echo $! >"$fdir/pure-ftpd.pid"
    wait_for "$pure_port" pure-ftpd "$fdir/pure-ftpd.pid"

    cat >"$envfile.tmp" <<EOF
FTP_HOST=127.0.0.1
FTP_PORT=$port
FTPS_IMPLICIT_PORT=$implicit_port
FTP_USER=$FTP_USER
FTP_PASSWORD=$FTP_PASSWORD
FTP_ROOT=$fdir/root
PURE_PORT=$pure_port
PURE_ROOT=$fdir/pure-root
EOF
    mv "$envfile.tmp" "$envfile"
    echo "ftp: vsftpd on 127.0.0.1:$port (explicit TLS) and :$implicit_port (implicit TLS) at $fdir/root;" \
        "pure-ftpd on :$pure_port at $fdir/pure-root (user $FTP_USER)"
}

case $action in
start) start ;;
stop) stop ;;
*) usage ;;
esac
