#!/usr/bin/env bash
# Runs one script hidden with the Linux varnel and with varnel.exe under Wine
# against the same Linux host on 127.0.0.1, and passes when both runs end
# with status 0 and write byte-identical output files.
#
#   compare_runs.sh LINUX_BUILD WINE_RUN VARNEL_EXE HOST SCRIPT
#
# HOST is "demo" or "demo-telnet" (LINUX_BUILD/varnel-demo-host),
# "telnetd" (inetutils telnetd unpacked in LINUX_BUILD/telnetd, with the
# tests' login program, one connection per run), or "ssh" (the tests' SSH
# server, user admin, password varnel; each run records its host key in a
# known-hosts file of its own, ./known_hosts, so both log the same line), or
# "sshd" (OpenSSH's sshd as root with PAM, running the tests' dialogue shell
# for the account VARNEL_TEST_SSH_USER, password VARNEL_TEST_SSH_PASSWORD;
# skipped without them, unless CI=true). The port of SCRIPT's HOST or SSH
# line is replaced by the host's port.
set -euo pipefail
linux_build=$1 wine_run=$2 exe=$3 host=$4 script=$5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
host_pid=
cleanup() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

case $host in
  demo) host_cmd=("$linux_build/varnel-demo-host") ;;
  demo-telnet) host_cmd=("$linux_build/varnel-demo-host" --telnet) ;;
  telnetd)
    telnetd=$linux_build/telnetd/usr/sbin/telnetd
    if [ ! -x "$telnetd" ]; then echo "SKIP: $telnetd is missing"; exit 77; fi
    host_cmd=(python3 "$here/serve_each.py" "$telnetd" -h -E "$linux_build/tests/pty_login_host") ;;
  ssh) host_cmd=("$linux_build/varnel-ssh-test-server" --key "$work/host_key" --mode password
                 --user admin --password varnel) ;;
  sshd)
    if [ -z "${VARNEL_TEST_SSH_USER:-}" ] || [ -z "${VARNEL_TEST_SSH_PASSWORD:-}" ] || [ ! -x /usr/sbin/sshd ] ||
       [ "$(id -u)" != 0 ]; then
      why="sshd as root and a test account (VARNEL_TEST_SSH_USER, VARNEL_TEST_SSH_PASSWORD) are needed"
      if [ "${CI:-}" = true ]; then echo "$why" >&2; exit 1; fi
      echo "SKIP: $why"; exit 77
    fi
    # The account runs the shell from here: a folder it may enter.
    chmod 755 "$work"
    install -m 755 "$linux_build/varnel-dialogue-shell" "$work/shell"
    ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
    sshd_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p /run/sshd
    printf '%s\n' "ListenAddress 127.0.0.1" "Port $sshd_port" "HostKey $work/host_key" "PidFile none" \
      "UsePAM yes" "PasswordAuthentication no" "KbdInteractiveAuthentication yes" "PubkeyAuthentication no" \
      "PermitRootLogin no" "AllowUsers $VARNEL_TEST_SSH_USER" "ForceCommand $work/shell" "LogLevel ERROR" \
      > "$work/sshd_config"
    host_cmd=(sh -c "echo $sshd_port; exec /usr/sbin/sshd -D -e -f '$work/sshd_config'") ;;
  *) echo "unknown host kind $host" >&2; exit 2 ;;
esac
"${host_cmd[@]}" > "$work/host.out" 2> "$work/host.err" &
host_pid=$!
for _ in $(seq 1 600); do
  [ -s "$work/host.out" ] && break
  sleep 0.05
done
port=$(head -n 1 "$work/host.out" | tr -dc '0-9')
if [ -z "$port" ]; then echo "the host did not start" >&2; cat "$work/host.err" >&2; exit 1; fi
if [ "$host" = sshd ]; then  # it names its port before it listens
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
fi

# Line ends as a Windows user's script would have them; both programs read either.
sed -E "s/^((HOST|SSH) [^ ]+) [0-9]+/\1 $port/" "$script" > "$work/script.txt"

export VARNEL_SSH_KNOWN_HOSTS=./known_hosts HOME=$work
unset SSH_AUTH_SOCK
status_linux=0
(cd "$work" && "$linux_build/varnel" /r:./script.txt /o:./linux.txt /hidden) > "$work/linux.err" 2>&1 || status_linux=$?
rm -f "$work/known_hosts"
status_windows=0
(cd "$work" && "$wine_run" "$exe" /r:./script.txt /o:./windows.txt /hidden) > "$work/windows.err" 2>&1 ||
  status_windows=$?

echo "Linux status $status_linux, Windows status $status_windows"
if [ "$status_linux" != 0 ] || [ "$status_windows" != 0 ] || ! cmp "$work/linux.txt" "$work/windows.txt"; then
  echo "--- Linux output file"; cat -A "$work/linux.txt" || true
  echo "--- Windows output file"; cat -A "$work/windows.txt" || true
  echo "--- Windows stderr"; grep -v -i -e wine32 -e multiarch -e 'dpkg --add' -e 'apt-get install' "$work/windows.err" || true
  exit 1
fi
echo "identical: $(wc -c < "$work/linux.txt") bytes"
