#!/usr/bin/env bash
# Starts or stops a private OpenSSH server for the SFTP tests and benchmarks.
#
#   sftp.sh start DIR   sshd on 127.0.0.1 (free port from 2230 up), root folder DIR/sftp/root owned
#                       by the test user, writes DIR/sftp.env (KEY=VALUE lines) for the tests
#   sftp.sh rekey DIR   gives the running server new host keys (a changed host, as a client sees it)
#   sftp.sh stop DIR    stops what "start" started (by the PID it recorded); safe to repeat
#
# The user logs on with a password (what the product uses) or with the key DIR/sftp/client_key
# (what OpenSSH's own client uses in the benchmarks). Needs root: sshd switches to the test user.
set -euo pipefail

SFTP_USER=pvsftptest
# ":", "/" and "@" exercise the URL escaping of credentials.
SFTP_PASSWORD='Pv-ss4:/@2'
FIRST_PORT=2230

die() { echo "sftp.sh: $*" >&2; exit 1; }
usage() { die "usage: sftp.sh start|stop|rekey DIR"; }

[ $# -eq 2 ] || usage
action=$1
dir=$(realpath -m "$2")
sdir=$dir/sftp
conf=$sdir/sshd_config
pidfile=$sdir/sshd.pid
envfile=$dir/sftp.env

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# True when PID is alive and is an sshd started with our config.
is_ours() {
    local pid=$1
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$conf"
}

stop() {
    local pid waited=0
    [ -f "$pidfile" ] || { rm -f "$envfile"; return 0; }
    pid=$(tr -dc '0-9' <"$pidfile")
    if [ -n "$pid" ] && is_ours "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        while is_ours "$pid" && [ $waited -lt 50 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        is_ours "$pid" && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile" "$envfile"
    return 0
}

make_host_keys() {
    rm -f "$sdir"/host_*
    ssh-keygen -q -t ecdsa -N '' -f "$sdir/host_ecdsa" -C pvtest >/dev/null
    ssh-keygen -q -t ed25519 -N '' -f "$sdir/host_ed25519" -C pvtest >/dev/null
}

rekey() {
    [ -f "$pidfile" ] || die "no server running under $dir"
    local pid
    pid=$(tr -dc '0-9' <"$pidfile")
    is_ours "$pid" || die "no server running under $dir"
    make_host_keys
    # SIGHUP makes sshd start again from its binary, reading the new keys.
    kill -HUP "$pid"
    local tries=0
    until ssh-keyscan -p "$(sed -n 's/^SFTP_PORT=//p' "$envfile")" 127.0.0.1 2>/dev/null |
        grep -q "$(cut -d' ' -f2 "$sdir/host_ecdsa.pub")"; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || die "sshd did not take the new keys"
        sleep 0.1
    done
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (sshd needs to switch to the test user)"
    command -v /usr/sbin/sshd >/dev/null || die "sshd not found: install openssh-server"
    command -v ssh-keygen >/dev/null || die "ssh-keygen not found: install openssh-client"

    stop
    rm -rf "$sdir"
    mkdir -p "$sdir/root" "$sdir/log"
    chmod 0755 "$dir" "$sdir"
    # sshd's privilege separation wants this folder.
    mkdir -p /run/sshd
    chmod 0755 /run/sshd

    if ! id "$SFTP_USER" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir "$sdir/root" \
            --shell /bin/sh "$SFTP_USER" || die "cannot create user $SFTP_USER"
    fi
    usermod --home "$sdir/root" "$SFTP_USER" >/dev/null 2>&1 || true
    echo "$SFTP_USER:$SFTP_PASSWORD" | chpasswd
    chown "$SFTP_USER:" "$sdir/root"
    chmod 0755 "$sdir/root"

    make_host_keys
    ssh-keygen -q -t ed25519 -N '' -f "$sdir/client_key" -C pvtest >/dev/null
    cp "$sdir/client_key.pub" "$sdir/authorized_keys"
    chmod 0644 "$sdir/authorized_keys"

    local port=$FIRST_PORT
    while port_in_use "$port"; do
        port=$((port + 1))
        [ $port -lt $((FIRST_PORT + 200)) ] || die "no free port in $FIRST_PORT..$((FIRST_PORT + 199))"
    done

    cat >"$conf" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $sdir/host_ecdsa
HostKey $sdir/host_ed25519
PidFile $pidfile
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AuthorizedKeysFile $sdir/authorized_keys
StrictModes no
PermitRootLogin no
AllowUsers $SFTP_USER
MaxStartups 100
MaxSessions 100
UseDNS no
Subsystem sftp internal-sftp
LogLevel INFO
EOF

    /usr/sbin/sshd -f "$conf" -E "$sdir/log/sshd.log" ||
        die "sshd did not start: $(tail -n 20 "$sdir/log/sshd.log" 2>/dev/null)"

    local tries=0
    until ssh-keyscan -p "$port" 127.0.0.1 >/dev/null 2>&1 && [ -s "$pidfile" ]; do
        tries=$((tries + 1))
        if [ $tries -ge 100 ]; then
            local why
            why=$(tail -n 20 "$sdir/log/sshd.log" 2>/dev/null || true)
            stop
            die "sshd is not answering on 127.0.0.1:$port: $why"
        fi
        sleep 0.1
    done

    cat >"$envfile.tmp" <<EOF
SFTP_HOST=127.0.0.1
SFTP_PORT=$port
SFTP_USER=$SFTP_USER
SFTP_PASSWORD=$SFTP_PASSWORD
SFTP_ROOT=$sdir/root
SFTP_PID=$(tr -dc '0-9' <"$pidfile")
SFTP_CLIENT_KEY=$sdir/client_key
EOF
    mv "$envfile.tmp" "$envfile"
    echo "sftp: 127.0.0.1:$port, root $sdir/root (user $SFTP_USER)"
}

case $action in
start) start ;;
stop) stop ;;
rekey) rekey ;;
*) usage ;;
esac
