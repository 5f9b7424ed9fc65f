#!/usr/bin/env bash
# scripts/encode_chunks.sh on two machines at once: this one, and a second
# one reached over ssh. The second is a user account of its own on this
# machine, behind an sshd that the test starts on 127.0.0.1 (its own host key,
# configuration, port and key pair) and stops; the account has the module in
# its home, installed by the README's per-user command, and reads the same
# script, sources, plugins, host and work folder under the same paths.
# - --check runs a frame on each machine and finds both ready, and names the
#   machine of a check that fails, and what it said;
# - the file joined from chunks of both machines is byte for byte the one a
#   run on this machine alone makes, and the job log has chunks of each.
# Needs root (to add the account); exits 77 (skipped) otherwise.
#   encode_chunks_ssh_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR
set -euo pipefail
source_dir="$1" hostlib="$2" module="$3" ffms2="$4" media="$5"
encode="$source_dir/scripts/encode_chunks.sh"
if [ "$(id -u)" != 0 ]; then
  echo "skipped: adding the second account needs root"
  exit 77
fi
for tool in /usr/sbin/sshd ssh ssh-keygen useradd; do
  command -v "$tool" >/dev/null || { echo "FAILED: needs $tool (Debian packages openssh-server, openssh-client)" >&2; exit 1; }
done
fail() {
  echo "FAILED: $*" >&2
  [ ! -s "${work:-}/sshd.log" ] || sed 's/^/  sshd: /' "$work/sshd.log" >&2
  exit 1
}

work=$(mktemp -d)
user="dorvelchunks$$"
sshd_pid=""
cleanup() {
  [ -z "$sshd_pid" ] || kill "$sshd_pid" 2>/dev/null || true
  [ -z "$sshd_pid" ] || wait "$sshd_pid" 2>/dev/null || true
  ! id "$user" >/dev/null 2>&1 || userdel -r "$user" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
cd "$work"

# What both accounts read, copied where the second can read it whatever the
# folders above the checkout and the hosts allow: the sources, the host, the
# decoder plugin.
mkdir source host plugins
tar -C "$source_dir" --exclude=./.git --exclude='./build*' -cf - . | tar -C source -xf -
cp -P "$hostlib"/libavisynth.so* host/
cp "$ffms2" plugins/
hostlib="$work/host" ffms2="$work/plugins/$(basename "$ffms2")"
chmod -R a+rX source host plugins

# The second machine's account, and the module in its home as the README installs it.
useradd -m -d "$work/remote-home" -s /bin/bash "$user"
usermod -p '*' "$user"  # no password, but not locked: sshd lets a locked account in by no means
as_user() { su -s /bin/bash "$user" -c "$1"; }
as_user "cd $(printf %q "$work/source") && cmake -S . -B \$HOME/build -DCMAKE_BUILD_TYPE=Release \
  -DDORVEL_BUILD_TESTS=OFF -DDORVEL_BUILD_DEMO=OFF -DDORVEL_BUILD_TOOLS=OFF -DDORVEL_PLUGIN_DIR=\$HOME/.avisynth >/dev/null &&
  cmake --build \$HOME/build --target DorvelFilter -j 2 >/dev/null && cmake --install \$HOME/build >/dev/null" ||
  fail "the module could not be installed for $user"
[ -f "$work/remote-home/.avisynth/libDorvelFilter.so" ] || fail "the per-user install put no module in ~/.avisynth"

# This machine's module, in a home of the test's own.
export HOME="$work/home" LD_LIBRARY_PATH="$hostlib"
mkdir -p "$HOME/.avisynth"
cp "$module" "$HOME/.avisynth/"

# sshd on a free port of 127.0.0.1, for that account only, with keys alone.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
install -d -m 700 -o "$user" "$work/remote-home/.ssh"
install -m 600 -o "$user" "$work/client_key.pub" "$work/remote-home/.ssh/authorized_keys"
cat >"$work/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
PidFile none
AllowUsers $user
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes yes
EOF
echo "[127.0.0.1]:$port $(cut -d ' ' -f 1,2 "$work/host_key.pub")" >"$work/known_hosts"
cat >"$work/ssh_config" <<EOF
Host second
  HostName 127.0.0.1
  Port $port
  User $user
  IdentityFile $work/client_key
  IdentitiesOnly yes
  UserKnownHostsFile $work/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
EOF
mkdir -p /run/sshd  # the privilege separation folder Debian's sshd wants
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
sshd_pid=$!
for ((i = 0; i < 100; i++)); do
  ssh -F "$work/ssh_config" second true 2>/dev/null && break
  kill -0 "$sshd_pid" 2>/dev/null || fail "sshd did not start"
  sleep 0.1
done
[ "$(ssh -F "$work/ssh_config" second 'id -un; echo $HOME')" = "$user
$work/remote-home" ] || fail "ssh does not reach $user"

# Four parts behind the module, read from a folder both accounts can read;
# no index files written beside them.
mkdir parts
for i in 1 2 3 4; do cp "$media/part0$i.mkv" "parts/p$i.mkv"; done
cat >parts/splice.avs <<EOF
LoadPlugin("$ffms2")
DorvelFilterLimit(2)
T = BlankClip(FFVideoSource("p1.mkv", cache=false), length=50)
function Part(int i, clip T) { return DorvelFilter("FFVideoSource", ["p" + String(i) + ".mkv", ["cache", false]], T) }
Part(1, T) ++ Part(2, T) ++ Part(3, T) ++ Part(4, T)
EOF
chmod -R a+rX parts
umask 000  # the second account writes its chunks into the work folder
machines=(--ssh "ssh -F $work/ssh_config" --sshlogin 1/second,1/:)
x264=(--qp 0 --preset ultrafast --threads 1)

bash "$encode" --check parts/splice.avs 25 both.mkv "${machines[@]}" -- "${x264[@]}" >check.out 2>&1 ||
  fail "--check: $(cat check.out)"
grep -q "^encode_chunks: second ([^)]*): ready" check.out && grep -q "^encode_chunks: this machine: ready" check.out &&
  grep -q "all 2 machines can take part" check.out || fail "--check: $(cat check.out)"
# The same check with OUT in a folder the second account cannot enter.
mkdir closed
chmod 700 closed
if bash "$encode" --check parts/splice.avs 25 closed/out.mkv "${machines[@]}" >check.out 2>&1; then
  fail "--check passed a machine that cannot write its chunk"
fi
grep -q "^encode_chunks: second: the check did not run:" check.out &&
  grep -q "closed/out.mkv.check/check.sh: Permission denied" check.out &&
  grep -q "1 of 2 machines cannot take part" check.out || fail "--check's failure: $(cat check.out)"
echo "--check: both machines ready; a machine that cannot reach the folder is named with what it said"

bash "$encode" parts/splice.avs 25 local.mkv --jobs 2 -- "${x264[@]}" >local.out 2>&1 || fail "$(cat local.out)"
bash "$encode" parts/splice.avs 25 both.mkv "${machines[@]}" -- "${x264[@]}" >both.out 2>&1 || fail "$(cat both.out)"
cmp -s local.mkv both.mkv || fail "the file made on both machines differs from the one made here alone"
on_second=$(awk -F '\t' 'NR > 1 && $2 == "second" && $7 == 0' both.mkv.joblog | wc -l)
on_here=$(awk -F '\t' 'NR > 1 && $2 == ":" && $7 == 0' both.mkv.joblog | wc -l)
[ "$on_second" -gt 0 ] && [ "$on_here" -gt 0 ] && [ $((on_second + on_here)) = 8 ] ||
  fail "chunks done: $on_second on the second machine, $on_here here; job log: $(cat both.mkv.joblog)"
echo "8 chunks, $on_second over ssh and $on_here here: the same file as a run here alone"
