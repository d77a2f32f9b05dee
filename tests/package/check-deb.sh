#!/usr/bin/env bash
# The Debian package, built from this build tree: its contents, lintian's verdict, and an
# install and purge in a throw-away root. Exit 77 (skipped, with the reason) when a tool
# the check needs is missing.
set -euo pipefail
build=$(realpath "${1:?build directory}")
source_dir=$(realpath "$(dirname "$0")/../..")
for tool in dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps.sh)"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
package=$("$source_dir/scripts/build-deb.sh" "$build" "$scratch" | tail -n1)

contents=$(dpkg-deb -c "$package" | awk '{print $6}' | sed 's|^\./|/|')
missing=0
for file in /usr/bin/ravnix /usr/bin/ravnix-phone /usr/share/man/man1/ravnix.1.gz \
  /usr/share/man/man1/ravnix-phone.1.gz /usr/lib/systemd/user/ravnix.service \
  /usr/share/applications/ravnix.desktop /usr/share/ravnix/ravnix.desktop \
  /usr/share/icons/hicolor/scalable/apps/ravnix.svg /usr/lib/firewalld/services/ravnix.xml \
  /etc/ufw/applications.d/ravnix /usr/lib/udev/rules.d/70-ravnix-uinput.rules \
  /usr/share/doc/ravnix/copyright; do
  grep -qxF "$file" <<<"$contents" || { echo "missing from the package: $file"; missing=1; }
done
[[ $missing -eq 0 ]] || exit 1

depends=$(dpkg-deb -f "$package" Depends)
for library in libc6 libssl3 libavahi-client3; do
  grep -q "$library" <<<"$depends" || { echo "Depends lacks $library: $depends"; exit 1; }
done
[[ "$(dpkg-deb -f "$package" Package)" == ravnix ]]

# Errors fail the check; warnings are shown.
report=$(lintian --tag-display-limit 0 "$package" 2>/dev/null || true)
[[ -z "$report" ]] || echo "$report"
if grep -q '^E:' <<<"$report"; then echo "lintian reports errors"; exit 1; fi

# Install and purge in an empty dpkg database: the files arrive, and nothing stays behind.
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --log=/dev/null --force-depends -i "$package" >/dev/null 2>&1 ||
  { echo "dpkg -i into a throw-away root failed"; exit 1; }
[[ -x "$root/usr/bin/ravnix" && -f "$root/etc/ufw/applications.d/ravnix" ]] ||
  { echo "installed files are not there"; exit 1; }
dpkg --root="$root" --log=/dev/null --purge ravnix >/dev/null 2>&1
left=$(find "$root" -path "$root/var" -prune -o -type f -print)
[[ -z "$left" ]] || { echo "left after purge: $left"; exit 1; }
echo "package $(basename "$package"): contents, lintian and install/purge checked"
