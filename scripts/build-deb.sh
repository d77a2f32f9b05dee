#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree:
#   scripts/build-deb.sh <build-dir> [<output-dir>]
# Installs the tree into a staging root with prefix /usr, strips the programs, adds the
# package's documents and control files (dependencies computed from the binaries by
# dpkg-shlibdeps), builds ravnix_<version>_<arch>.deb and prints its path on the last line.
set -euo pipefail
build=$(realpath "${1:?build directory}")
out=$(realpath -m "${2:-$build}")
source_dir=$(realpath "$(dirname "$0")/..")

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n "$version" ]] || { echo "build-deb: no project version in $build/CMakeCache.txt" >&2; exit 1; }
arch=$(dpkg --print-architecture)
work="$build/deb"
root="$work/root"
rm -rf "$work"
mkdir -p "$root" "$out"

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null

for program in ravnix ravnix-phone; do
  [[ -x "$root/usr/bin/$program" ]] || { echo "build-deb: $program was not built" >&2; exit 1; }
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/$program"
done
# Debian wants manual pages compressed, and no timestamps in the archives.
find "$root/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +

doc="$root/usr/share/doc/ravnix"
mkdir -p "$doc"
cat >"$doc/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ravnix

Files: *
Copyright: 2026 Belvor
License: MIT
 Permission is hereby granted, free of charge, to any person obtaining a copy of this
 software and associated documentation files (the "Software"), to deal in the Software
 without restriction, including without limitation the rights to use, copy, modify, merge,
 publish, distribute, sublicense, and/or sell copies of the Software, and to permit persons
 to whom the Software is furnished to do so, subject to the following conditions:
 .
 The above copyright notice and this permission notice shall be included in all copies or
 substantial portions of the Software.
 .
 THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED,
 INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR
 PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE
 FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR
 OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER
 DEALINGS IN THE SOFTWARE.
COPYRIGHT
date_rfc2822=$(date -R -d "@${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)}")
printf 'ravnix (%s) unstable; urgency=medium\n\n  * Built from the source tree.\n\n -- Belvor <ravnix@belvor.com>  %s\n' \
  "$version" "$date_rfc2822" | gzip -9n >"$doc/changelog.gz"

# dpkg-shlibdeps reads the package list from debian/control in its working folder.
mkdir -p "$work/shlibs/debian"
printf 'Source: ravnix\n\nPackage: ravnix\nArchitecture: any\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" &&
  dpkg-shlibdeps -O -e"$root/usr/bin/ravnix" -e"$root/usr/bin/ravnix-phone" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[[ -n "$depends" ]] || { echo "build-deb: dpkg-shlibdeps computed no dependencies" >&2; exit 1; }

mkdir -p "$root/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: ravnix
Version: $version
Architecture: $arch
Maintainer: Belvor <ravnix@belvor.com>
Installed-Size: $size
Depends: $depends
Recommends: avahi-daemon, qt6-wayland
Suggests: gnome-keyring
Section: utils
Priority: optional
Homepage: https://belvor.com/ravnix
Description: use a phone as a trackpad for this computer
 Ravnix receives authenticated touch frames from a paired phone over Wi-Fi and
 turns them into pointer motion with acceleration, clicks, two-finger scrolling
 and zooming, three-finger dragging and gesture keys. Phones pair through an
 X25519 key agreement confirmed by a six-digit code; pairings are kept in the
 Secret Service. The package also holds ravnix-phone, the phone's side of the
 protocols for testing, and firewall rules for firewalld and ufw.
CONTROL
# Whatever the package puts under /etc is the administrator's to change.
if [[ -d "$root/etc" ]]; then
  (cd "$root" && find etc -type f | sed 's|^|/|' | sort) >"$root/DEBIAN/conffiles"
fi
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum) >"$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod go-w {} +
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

package="$out/ravnix_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
echo "$package"
