# Real OpenSSH servers on loopback addresses for the demo and the benchmarks (sourced, bash).
# Each server: generated ed25519 host and user keys, public keys only, every session chrooted
# into internal-sftp. sshd requires the chroot to be owned by root and writable by no one else
# on every step of its path, so the servers live below /var/lib (or $KX_SSHD_BASE), not /tmp.
#
#   sshd_unavailable              prints why no server can run here; empty when one can
#   sshd_start NAME ADDRESS       starts a server; sets SSHD_PORT[NAME], SSHD_CHROOT[NAME],
#                                 SSHD_IDENTITY[NAME], SSHD_KNOWN_HOSTS[NAME], SSHD_PID[NAME]
#   sshd_signal NAME SIGNAL       signals the listener and its sessions (STOP, CONT, KILL)
#   sshd_stop_all                 stops every server and removes its folder (call on exit)

declare -gA SSHD_PORT=() SSHD_CHROOT=() SSHD_IDENTITY=() SSHD_KNOWN_HOSTS=() SSHD_PID=() SSHD_BASE=()
SSHD_BIN=/usr/sbin/sshd

_sshd_secure() {  # every step of the path owned by root and not writable by group or others
  local p=$1
  while :; do
    [ "$(stat -c %u "$p" 2>/dev/null)" = 0 ] || return 1
    [ $(( 0$(stat -c %a "$p") & 022 )) = 0 ] || return 1
    [ "$p" = / ] && return 0
    p=$(dirname "$p")
  done
}

_sshd_parent() {
  local c
  for c in "${KX_SSHD_BASE:-}" /var/lib /run; do
    [ -n "$c" ] && [ -d "$c" ] && _sshd_secure "$c" && { echo "$c"; return 0; }
  done
  return 1
}

sshd_unavailable() {
  if [ ! -x "$SSHD_BIN" ]; then echo "sshd is not installed (Debian package openssh-server)"; return; fi
  if ! command -v ssh-keygen >/dev/null; then echo "ssh-keygen is not installed (openssh-client)"; return; fi
  if [ "$(id -u)" != 0 ]; then echo "sshd needs root to chroot its sessions"; return; fi
  _sshd_parent >/dev/null || echo "no folder owned by root and writable by no one else for the chroot"
}

# Subprocesses of a process, depth first (the sessions of a listener).
_sshd_tree() {
  local pid=$1 file line rest ppid
  echo "$pid"
  for file in /proc/[0-9]*/stat; do
    { read -r line <"$file"; } 2>/dev/null || continue
    rest=${line##*) }  # after the command name: state, ppid, ...
    rest=${rest#* }
    ppid=${rest%% *}
    if [ "$ppid" = "$pid" ]; then _sshd_tree "${line%% *}"; fi
  done
}

sshd_signal() {
  local pid=${SSHD_PID[$1]}
  [ -n "$pid" ] || return 0
  # shellcheck disable=SC2046
  kill -"$2" $(_sshd_tree "$pid") 2>/dev/null || true
}

sshd_start() {
  local name=$1 address=$2 base port attempt
  base=$(mktemp -d "$(_sshd_parent)/kxmp-sshd-XXXXXX") || return 1
  chmod 755 "$base"
  SSHD_BASE[$name]=$base
  mkdir -m 755 "$base/root"
  mkdir -p -m 755 /run/sshd  # privilege separation folder of an installed server
  ssh-keygen -q -t ed25519 -N '' -C "kxmp-$name-host" -f "$base/host_ed25519" || return 1
  ssh-keygen -q -t ed25519 -N '' -C "kxmp-$name-user" -f "$base/id_ed25519" || return 1
  cp "$base/id_ed25519.pub" "$base/authorized_keys"
  for attempt in 1 2 3 4 5; do
    port=$(( 20000 + RANDOM % 30000 ))
    cat >"$base/sshd_config" <<EOF
ListenAddress $address:$port
HostKey $base/host_ed25519
PidFile none
AuthorizedKeysFile $base/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
AllowTcpForwarding no
X11Forwarding no
MaxStartups 64
Subsystem sftp internal-sftp
ChrootDirectory $base/root
ForceCommand internal-sftp
EOF
    "$SSHD_BIN" -D -e -f "$base/sshd_config" 2>"$base/sshd.log" &
    SSHD_PID[$name]=$!
    local i
    for i in $(seq 200); do
      if (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null; then
        SSHD_PORT[$name]=$port
        SSHD_CHROOT[$name]=$base/root
        SSHD_IDENTITY[$name]=$base/id_ed25519
        printf '[%s]:%s %s\n' "$address" "$port" "$(cut -d' ' -f1,2 "$base/host_ed25519.pub")" >"$base/known_hosts"
        SSHD_KNOWN_HOSTS[$name]=$base/known_hosts
        return 0
      fi
      kill -0 "${SSHD_PID[$name]}" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL "${SSHD_PID[$name]}" 2>/dev/null || true
    wait "${SSHD_PID[$name]}" 2>/dev/null || true
    grep -q 'Address already in use' "$base/sshd.log" || { cat "$base/sshd.log" >&2; return 1; }
  done
  return 1
}

sshd_stop_all() {
  local name
  for name in "${!SSHD_PID[@]}"; do
    sshd_signal "$name" CONT
    sshd_signal "$name" KILL
    wait "${SSHD_PID[$name]}" 2>/dev/null || true
  done
  for name in "${!SSHD_BASE[@]}"; do rm -rf "${SSHD_BASE[$name]}"; done
  SSHD_PID=() SSHD_BASE=()
}
