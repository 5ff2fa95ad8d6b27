#!/usr/bin/env bash
# Fetches the C and C++ runtime of another Debian architecture as package files
# and unpacks them into a folder, for qemu-user (-L) and dpkg-shlibdeps.
# Usage: debian-cross-runtime.sh ARCH FOLDER
#
# Nothing is installed: the runtimes of several processors installed side by
# side (multiarch) must all be at one version, and Debian's security archive
# does not serve every processor, so they could not be installed together with
# the machine's own. apt runs with its lists, its cache and the one
# architecture in FOLDER, and the machine's apt sources; no root is needed.
set -euo pipefail
arch=$1 folder=$2
packages=(libc6 libgcc-s1 libstdc++6)
root=$folder/root
# Fetched once for that architecture; a fetch cut short is made again whole.
if [ -f "$folder/fetched" ] && [ "$(cat "$folder/arch")" = "$arch" ]; then exit 0; fi
if [ -n "$(ls -A "$folder" 2>/dev/null)" ] && [ ! -f "$folder/arch" ]; then
  echo "$0: $folder holds something else: give a new or empty folder" >&2
  exit 1
fi
command -v apt-get >/dev/null || { echo "$0: apt-get is missing: fetch the $arch runtime on Debian" >&2; exit 1; }

rm -rf "$folder"
mkdir -p "$folder/lists/partial" "$folder/cache/archives/partial" "$folder/debs" "$root/DEBIAN"
echo "$arch" >"$folder/arch"
: >"$folder/status"
apt=(apt-get -q -o Acquire::Retries=3 -o APT::Architecture="$arch" -o APT::Architectures="$arch"
  -o Dir::State::Lists="$folder/lists" -o Dir::Cache="$folder/cache"
  -o Dir::State::status="$folder/status" -o Debug::NoLocking=true -o Acquire::Languages=none
  -o APT::Sandbox::User="$(id -un)")
# A mirror caught mid-sync fails some lists for a while: the packages may
# still come from the sources that are whole, or else from the next round.
for round in 1 2 3 4; do
  "${apt[@]}" update || echo "$0: some of apt's lists failed (round $round)" >&2
  (cd "$folder/debs" && "${apt[@]}" download "${packages[@]/%/:$arch}") && break
  [ "$round" = 4 ] && { echo "$0: the $arch runtime could not be fetched" >&2; exit 1; }
  echo "$0: again in $((round * 30)) s" >&2
  sleep $((round * 30))
done

for deb in "$folder"/debs/*.deb; do
  dpkg-deb -x "$deb" "$root"
  # The libraries' versioned symbols, for the Depends of a package built
  # against them; dpkg-shlibdeps reads them from the DEBIAN folder above.
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./symbols >>"$root/DEBIAN/symbols" 2>/dev/null || true
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs >>"$root/DEBIAN/shlibs" 2>/dev/null || true
done
# The loader's link may name its target from /: seen from the host, that is the
# host's own folder, where this processor's loader is not.
find "$root" -type l -lname '/*' | while IFS= read -r link; do
  ln -sfn --relative "$root$(readlink "$link")" "$link"
done
(cd "$folder/debs" && echo *.deb) >"$folder/fetched"
echo "$0: the $arch runtime is in $root: $(cat "$folder/fetched")"
