#!/usr/bin/env bash
# make install and make uninstall: install records what it put where, each
# file with its checksum and each folder that it made, and uninstall removes
# exactly that. CMake's own install_manifest.txt cannot tell: CPack's staging
# install rewrites it, and it holds neither DESTDIR nor the folders.
# Usage: installed_files.sh install BUILD PREFIX [DESTDIR]
#        installed_files.sh uninstall BUILD
set -euo pipefail
build=$2
record=$build/installed-files.txt

checksum() { sha256sum <"$1" | cut -d ' ' -f 1; }

record_install() {  # PREFIX DESTDIR
  local prefix=$1 destdir=${2:-} folder file
  # Readable by everyone whatever the builder's umask: the folders that
  # install makes have the umask's modes.
  umask 022
  # A first install into an empty folder shows which folders the real one
  # makes: those that are not there yet.
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT  # stage is global: the trap runs after the function
  DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
  local made=()
  while IFS= read -r folder; do
    [ -d "$destdir$folder" ] || made+=("$destdir$folder")
  done < <(cd "$stage" && find . -mindepth 1 -type d | sed 's|^\.||')
  DESTDIR=$destdir cmake --install "$build" --prefix "$prefix"
  {
    for folder in "${made[@]}"; do echo "folder $folder"; done
    while IFS= read -r file || [ -n "$file" ]; do
      echo "file $(checksum "$destdir$file") $destdir$file"
    done <"$build/install_manifest.txt"
  } >>"$record"
}

remove_install() {
  [ -s "$record" ] || { echo "uninstall: nothing was installed from $build" >&2; exit 1; }
  local kind sum path
  while read -r kind sum path; do
    [ "$kind" = file ] && [ -e "$path" ] || continue  # gone already
    if [ "$(checksum "$path")" = "$sum" ]; then
      rm -fv "$path"
    else
      echo "uninstall: $path is left alone: make install did not put it there"
    fi
  done <"$record"
  # The deepest first; a folder that holds anything else stays.
  sed -n 's/^folder //p' "$record" | sort -r | while IFS= read -r path; do
    rmdir -v "$path" 2>/dev/null || true
  done
  rm "$record"
}

case ${1:-} in
  install) record_install "$3" "${4:-}" ;;
  uninstall) remove_install ;;
  *) echo "usage: installed_files.sh install BUILD PREFIX [DESTDIR] | uninstall BUILD"; exit 2 ;;
esac
