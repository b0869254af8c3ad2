#!/usr/bin/env bash
# Starts or stops a private Samba server for the SMB tests.
#
#   samba.sh start DIR   smbd on 127.0.0.1 (free port from 4450 up), share "pvshare" = DIR/share,
#                        writes DIR/samba.env (KEY=VALUE lines) for the tests
#   samba.sh stop DIR    stops what "start" started (by the PIDs it recorded); safe to repeat
#
# Everything smbd keeps (config, passdb, locks, logs, PID files) lives under DIR/samba, so the
# system's own Samba setup is never touched. Needs root: smbd switches to the share user.
set -euo pipefail

SHARE_NAME=pvshare
SMB_USER=pvsmbtest
# ":", "/" and "@" exercise the URL escaping of credentials.
SMB_PASSWORD='Pv-s3cret:/@1'
FIRST_PORT=4450

. "$(dirname "$0")/lib.sh"

server_args "$@"
sdir=$dir/samba
conf=$sdir/smb.conf
envfile=$dir/samba.env

# PIDs of every daemon this instance started (smbd, and helpers such as
# samba-dcerpcd that smbd starts on demand) are in its private PID directory.
recorded_pids() {
    local f pid
    for f in "$sdir"/run/*.pid "$sdir"/smbd.started; do
        [ -f "$f" ] || continue
        pid=$(tr -dc '0-9' <"$f")
        [ -n "$pid" ] && echo "$pid"
    done
    return 0
}

stop() {
    # shellcheck disable=SC2046
    stop_pids "$conf" $(recorded_pids | sort -u)
    rm -f "$sdir"/run/*.pid "$sdir/smbd.started" "$envfile"
    return 0
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root (smbd needs to switch to the share user)"
    command -v smbd >/dev/null || die "smbd not found: install the samba package (scripts/install-deps.sh)"
    command -v smbclient >/dev/null || die "smbclient not found: install the smbclient package"
    command -v smbpasswd >/dev/null || die "smbpasswd not found: install the samba-common-bin package"

    # A previous run that was not stopped must not keep the port or the passdb busy.
    stop

    # Each run starts with an empty share.
    rm -rf "$dir/share"
    mkdir -p "$sdir"/{run,lock,state,cache,private,ncalrpc,log} "$dir/share"
    chmod 0755 "$dir" "$sdir"
    chmod 0700 "$sdir/private"

    if ! id "$SMB_USER" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir /nonexistent \
            --shell /usr/sbin/nologin "$SMB_USER" || die "cannot create user $SMB_USER"
    fi
    chown "$SMB_USER:" "$dir/share"
    chmod 0775 "$dir/share"

    # smbd does the file work as the share user, who must be able to reach the
    # share folder. Below a private folder (a build tree under /root, say) it
    # cannot: smbd then works as root there.
    local force_user=""
    if ! runuser -u "$SMB_USER" -- test -w "$dir/share" 2>/dev/null; then
        force_user="force user = root"
        echo "samba.sh: $dir/share is out of reach for $SMB_USER; the share works as root" >&2
    fi

    local port
    port=$(free_port $FIRST_PORT)

    cat >"$conf" <<EOF
[global]
    netbios name = PVTEST
    workgroup = WORKGROUP
    server role = standalone server
    security = user
    map to guest = never
    interfaces = 127.0.0.1
    bind interfaces only = yes
    smb ports = $port
    disable netbios = yes
    server min protocol = SMB2_02
    pid directory = $sdir/run
    lock directory = $sdir/lock
    state directory = $sdir/state
    cache directory = $sdir/cache
    private dir = $sdir/private
    ncalrpc dir = $sdir/ncalrpc
    binddns dir = $sdir/private
    passdb backend = tdbsam:$sdir/private/passdb.tdb
    log file = $sdir/log/log.%m
    log level = 1
    max log size = 1000
    load printers = no
    printing = bsd
    printcap name = /dev/null
    disable spoolss = yes
    usershare path =
    store dos attributes = yes
    ea support = yes

[$SHARE_NAME]
    path = $dir/share
    read only = no
    browseable = yes
    valid users = $SMB_USER
    create mask = 0664
    directory mask = 0775
    $force_user
EOF

    printf '%s\n%s\n' "$SMB_PASSWORD" "$SMB_PASSWORD" |
        smbpasswd -c "$conf" -s -a "$SMB_USER" >"$sdir/log/smbpasswd.out" 2>&1 ||
        die "smbpasswd failed: $(cat "$sdir/log/smbpasswd.out")"

    smbd --daemon -s "$conf" </dev/null >"$sdir/log/smbd.out" 2>&1 ||
        die "smbd did not start: $(tail -n 20 "$sdir/log/smbd.out" "$sdir"/log/log.smbd 2>/dev/null)"

    local auth=$sdir/private/auth
    printf 'username = %s\npassword = %s\ndomain = WORKGROUP\n' "$SMB_USER" "$SMB_PASSWORD" >"$auth"
    chmod 0600 "$auth"

    probe() {
        smbclient -s "$conf" -p "$port" -A "$auth" "//127.0.0.1/$SHARE_NAME" -c ls \
            >"$sdir/log/probe.out" 2>&1
    }
    if ! wait_until 100 probe; then
        local why
        why=$(tail -n 5 "$sdir/log/probe.out"; tail -n 20 "$sdir"/log/log.smbd 2>/dev/null || true)
        stop
        die "smbd is not answering on 127.0.0.1:$port: $why"
    fi

    # smbd names its PID file after the config; keep a copy under a fixed name too.
    local pidfile
    pidfile=$(ls "$sdir"/run/smbd*.pid 2>/dev/null | head -n 1 || true)
    [ -n "$pidfile" ] && cp "$pidfile" "$sdir/smbd.started"

    cat >"$envfile.tmp" <<EOF
SMB_HOST=127.0.0.1
SMB_PORT=$port
SMB_SHARE=$SHARE_NAME
SMB_USER=$SMB_USER
SMB_PASSWORD=$SMB_PASSWORD
SMB_SHARE_DIR=$dir/share
EOF
    mv "$envfile.tmp" "$envfile"
    echo "samba: //127.0.0.1:$port/$SHARE_NAME at $dir/share (user $SMB_USER)"
}

run_action
