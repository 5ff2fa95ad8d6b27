#!/usr/bin/env bash
# make install and make uninstall: install records what it put where, each
# file with its checksum and each folder that it made, and uninstall removes
# exactly that. CMake's own install_manifest.txt cannot tell: CPack's staging
# install rewrites it, and it holds neither DESTDIR nor the folders. A build
# folder keeps one record for each DESTDIR and PREFIX it was installed into,
# so that uninstalling one of them leaves the others whole.
# Usage: installed_files.sh install|uninstall BUILD PREFIX [DESTDIR]
set -euo pipefail
[[ ${1:-} =~ ^(install|uninstall)$ && $# -ge 3 ]] || {
  echo "usage: installed_files.sh install|uninstall BUILD PREFIX [DESTDIR]"; exit 2; }
build=$2
prefix=$3
destdir=${4:-}
place="DESTDIR=$destdir PREFIX=$prefix"
records=$build/installed-files
without_final_slashes() {
  local path=$1
  while [[ $path == */ ]]; do path=${path%/}; done
  printf '%s' "$path"
}
# Named for its place, where /usr/ and /usr are the same.
record=$records/$(printf '%s\0%s' "$(without_final_slashes "$destdir")" \
  "$(without_final_slashes "$prefix")" | sha256sum | cut -c 1-16).txt

checksum() { sha256sum <"$1" | cut -d ' ' -f 1; }

record_install() {
  local folder file
  # Readable by everyone whatever the builder's umask: the folders that
  # install makes have the umask's modes.
  umask 022
  # A first install into an empty folder shows which folders the real one
  # makes: those that are not there yet.
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT  # stage is global: the trap runs after the function
  DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
  local made=() missing=$destdir
  # DESTDIR itself too, and the folders above it that install makes.
  while [ -n "$missing" ] && [ ! -d "$missing" ]; do
    made+=("$(without_final_slashes "$missing")")
    missing=$(dirname "$missing")
  done
  while IFS= read -r folder; do
    [ -d "$destdir$folder" ] || made+=("$destdir$folder")
  done < <(cd "$stage" && find . -mindepth 1 -type d | sed 's|^\.||')
  DESTDIR=$destdir cmake --install "$build" --prefix "$prefix"
  mkdir -p "$records"
  {
    [ -s "$record" ] || echo "place $place"
    for folder in "${made[@]}"; do echo "folder $folder"; done
    while IFS= read -r file || [ -n "$file" ]; do
      echo "file $(checksum "$destdir$file") $destdir$file"
    done <"$build/install_manifest.txt"
  } >>"$record"
  # After an install over an earlier one, only the newer checksum of a file
  # is what install put there: its path follows "file", 64 digits and a blank.
  awk 'substr($0, 1, 5) != "file " { print; next }
       { path = substr($0, 71); if (!(path in last)) order[++n] = path; last[path] = $0 }
       END { for (i = 1; i <= n; i++) print last[order[i]] }' "$record" >"$record.new"
  mv "$record.new" "$record"
}

remove_install() {
  if [ ! -s "$record" ]; then
    echo "uninstall: nothing was installed from $build with $place" >&2
    local others
    others=$(cat "$records"/*.txt 2>/dev/null | sed -n 's/^place /  /p')
    if [ -n "$others" ]; then
      echo "it holds these installs, each removed by make uninstall with its own:" >&2
      echo "$others" >&2
    fi
    exit 1
  fi
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
    [ -d "$path" ] || continue
    if [ -n "$(ls -A "$path")" ]; then
      echo "uninstall: $path stays: it is not empty"
    elif rmdir "$path"; then
      echo "removed directory '$path'"
    fi
  done
  rm "$record"
  rmdir "$records" 2>/dev/null || true  # where other installs are recorded
}

case ${1:-} in
  install) record_install ;;
  uninstall) remove_install ;;
esac
