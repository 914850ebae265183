#!/usr/bin/env bash
# The Debian package as an operator's machine sees it: lintian finds no error, the conffile is
# declared, systemd accepts the unit, and the binary unpacked into a throwaway root runs: it prints
# its version and starts with the configuration file the package ships.
#   check_deb.sh tallyscope-server_VERSION_ARCH.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
server_pid=
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; }
  rm -rf "$root"
}
trap cleanup EXIT

# Errors fail the check; warnings and notes are shown for whoever reads the log.
lintian --fail-on error --allow-root --tag-display-limit 0 "$deb"
echo "lintian: no error"

dpkg-deb --info "$deb" conffiles | grep -qx /etc/tallyscope/server.conf || { echo "server.conf is not a conffile"; exit 1; }
for script in postinst prerm postrm; do
  dpkg-deb --info "$deb" "$script" >"$root/$script"
  sh -n "$root/$script"
done
grep -q "adduser --system" "$root/postinst" || { echo "postinst creates no system user"; exit 1; }

dpkg-deb -x "$deb" "$root/fs"
unit="$root/fs/lib/systemd/system/tallyscope-server.service"
for setting in User=tallyscope StateDirectory=tallyscope NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes \
               PrivateTmp=yes "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" "CapabilityBoundingSet="; do
  grep -qx "$setting" "$unit" || { echo "the unit lacks $setting"; exit 1; }
done
# verify looks in the root for the unit's binary and for the units it is ordered against: the
# machine's own units go in beside it. Any complaint (an unknown key is only a warning) fails.
cp -rn /lib/systemd/system/. "$root/fs/lib/systemd/system/"
SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --root="$root/fs" /lib/systemd/system/tallyscope-server.service \
  >"$root/verify.txt" 2>&1 || { cat "$root/verify.txt"; exit 1; }
[ ! -s "$root/verify.txt" ] || { cat "$root/verify.txt"; echo "systemd-analyze verify complained"; exit 1; }
echo "systemd-analyze verify: accepted"

"$root/fs/usr/bin/tallyscope-server" --version | tee "$root/version.txt"
grep -q "^tallyscope-server [0-9]" "$root/version.txt"
# The shipped configuration is valid: the server starts on it (its store and port moved aside).
"$root/fs/usr/bin/tallyscope-server" --config "$root/fs/etc/tallyscope/server.conf" --listen 127.0.0.1:0 \
  --data "$root/data" >"$root/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 300); do grep -q "event=start" "$root/server.log" && break; sleep 0.1; done
grep -q "event=start" "$root/server.log" || { cat "$root/server.log"; exit 1; }
echo "package: the binary runs from a throwaway root with the shipped configuration"
