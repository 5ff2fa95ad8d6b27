#!/usr/bin/env bash
# Checks the packages as their users and Debian's checker get them.
#   test_packages.sh deb FIRST_BUILD SECOND_BUILD  the .deb built in two folders:
#     the same bytes, fields, contents, copyright, changelog, lintian, the
#     hardening of the program, its dialogue unpacked (under qemu-user for
#     another processor) and its pages
#   test_packages.sh zip FIRST_BUILD SECOND_BUILD  a Windows .zip built in two
#     folders: the same bytes, and its contents
#   test_packages.sh dist FIRST_BUILD SECOND_BUILD the source release, twice; no
#     release made from it outside git or inside another checkout, and no
#     package without a time to stamp it with
#   test_packages.sh install BUILD ROOT            make install from BUILD into
#     the folder ROOT, and make uninstall, with a package built in between
set -euo pipefail
fail() { echo "test-packages: $*" >&2; exit 1; }
# The makes run here are not the calling make's jobs.
unset MAKEFLAGS MFLAGS MAKELEVEL
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
only() {  # the one file that a pattern names
  local files=($1)
  [ ${#files[@]} = 1 ] && [ -f "${files[0]}" ] || fail "not one file: $1"
  echo "${files[0]}"
}
refuses() {  # what it must say, then the command
  local said
  said=$("${@:2}" 2>&1) && fail "${*:2} reported success"
  grep -q -- "$1" <<<"$said" || fail "${*:2} did not say why: $said"
}
same_bytes() {
  cmp "$1" "$2" || fail "$1 and $2 differ: not reproducible"
  sha256sum "$1" "$2"
}

check_deb() {
  local deb again root=$scratch/deb
  deb=$(only "$1/polymul_*.deb")
  again=$(only "$2/polymul_*.deb")
  same_bytes "$deb" "$again"
  dpkg-deb -f "$deb"
  dpkg-deb -c "$deb"
  [ "$(dpkg-deb -f "$deb" Package)" = polymul ] || fail "the package is not called polymul"
  [ "$(dpkg-deb -f "$deb" Section)" = math ] || fail "the section is not math"
  dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= ' || fail "Depends was not computed"
  local contents
  contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
  for file in ./usr/bin/polymul ./usr/share/man/man1/polymul.1.gz \
    ./usr/share/man/ru/man1/polymul.1.gz ./usr/share/doc/polymul/copyright \
    ./usr/share/doc/polymul/changelog.gz; do
    grep -qx "$file" <<<"$contents" || fail "$file is missing"
  done

  dpkg-deb -x "$deb" "$root"
  local doc=$root/usr/share/doc/polymul
  head -n 1 "$doc/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright file is not machine-readable"
  grep -qx 'Files: \*' "$doc/copyright" && grep -qx 'License: Expat' "$doc/copyright" ||
    fail "the copyright file names no license for all files"
  gzip -t "$doc/changelog.gz"
  zcat "$doc/changelog.gz" >"$root/changelog"
  [ "$(dpkg-parsechangelog -l "$root/changelog" -S Version)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "the changelog is not for this version"
  [ "$(dpkg-parsechangelog -l "$root/changelog" -S Maintainer)" = "$(dpkg-deb -f "$deb" Maintainer)" ] ||
    fail "the changelog is signed by another maintainer"

  lintian --fail-on error,warning --display-info --pedantic "$deb" ||
    fail "lintian finds errors or warnings"

  # Built as Debian builds its programs.
  command -v hardening-check >/dev/null || fail "hardening-check is missing (apt-get install devscripts)"
  local hardening
  hardening=$(hardening-check "$root/usr/bin/polymul" || true)
  echo "$hardening"
  for feature in "Position Independent Executable" "Stack protected" \
    "Fortify Source functions" "Read-only relocations" "Immediate binding"; do
    grep -q "^ $feature: yes" <<<"$hardening" || fail "$feature: not yes"
  done

  expected='Программа демонстрирует умножение полиномов
Задайте порядок полиномов: Задайте коэффициенты полиномов через пробел
от a0 при Xn до aN свободный член
p1()= p2()= Значение полинома p3 = [ 4 13 28 27 18 ]
Нажмите любую клавишу'
  local shown launcher=
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
    launcher=$(sed -n 's/^POLYMUL_EMULATOR:INTERNAL=//p' "$1/CMakeCache.txt")
  local target_root
  target_root=$(sed -n 's/^POLYMUL_TARGET_ROOT:[A-Z]*=//p' "$1/CMakeCache.txt")
  shown=$(echo "2 1 2 3 4 5 6" | QEMU_LD_PREFIX=$target_root LC_ALL=C.UTF-8 $launcher "$root/usr/bin/polymul")
  [ "$shown" = "$expected" ] || fail "the unpacked program wrote: $shown"

  # The pages hold Russian letters, which only a UTF-8 locale can render.
  for page in "$root"/usr/share/man/man1/polymul.1.gz "$root"/usr/share/man/ru/man1/polymul.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
  done
  echo "test-packages: $(basename "$deb") passed"
}

# The version resource and the manifest of a Windows program, as Explorer and
# Windows read them, for the version that CMakeLists.txt gives.
check_resources() {
  local exe=$1 version field value at major minor patch
  version=$(sed -n 's/^project.polymul VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  local strings
  strings=$(strings -el "$exe")  # the version strings are UTF-16
  for field in "ProductName=polymul" "FileVersion=$version" "ProductVersion=$version" \
    "OriginalFilename=polymul.exe" "InternalName=polymul" "LegalCopyright=.*MIT License" \
    "FileDescription=.*polynomials.*"; do
    grep -A1 -x "${field%%=*}" <<<"$strings" | tail -n 1 | grep -qx "${field#*=}" ||
      fail "$exe: no $field in its version resource"
  done
  # The fixed part: major and minor, then 0 and patch, as 16-bit halves of
  # two little-endian 32-bit words, for the file and for the product.
  at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$exe" | head -n 1 | cut -d : -f 1)
  [ -n "$at" ] || fail "$exe has no version resource"
  IFS=. read -r major minor patch <<<"$version"
  value=$(od -An -tu2 -j $((at + 8)) -N 16 "$exe" | tr -s ' ' | sed 's/^ //')
  [ "$value" = "$minor $major 0 $patch $minor $major 0 $patch" ] ||
    fail "$exe: its fixed version is $value, not $version"
  grep -q 'level="asInvoker"' "$exe" || fail "$exe has no manifest asking for asInvoker"
  [ "$(grep -ao '<supportedOS Id=' "$exe" | wc -l)" = 4 ] ||
    fail "$exe's manifest does not name Windows 7, 8, 8.1 and 10"
}

check_zip() {
  local zip root=$scratch/zip
  zip=$(only "$1/polymul-*.zip")
  same_bytes "$zip" "$(only "$2/polymul-*.zip")"
  cmake -E tar tf "$zip"
  mkdir -p "$root"
  (cd "$root" && cmake -E tar xf "$(realpath -m "$OLDPWD/$zip")")
  for file in polymul.exe README.txt LICENSE.txt; do
    [ -f "$root"/polymul-*/"$file" ] || fail "$zip has no $file"
  done
  for text in README.txt LICENSE.txt; do
    # Every line, the last too, ends in CR LF, and there is no lone LF.
    local file=("$root"/polymul-*/"$text")
    [ "$(grep -c $'\r$' "${file[0]}")" = "$(wc -l <"${file[0]}")" ] &&
      [ "$(tail -c 2 "${file[0]}" | od -An -tx1 | tr -d ' ')" = 0d0a ] ||
      fail "$text in $zip does not end its lines in CR LF"
  done
  grep -q 'MIT License' "$root"/polymul-*/LICENSE.txt || fail "$zip has another license"
  check_resources "$(only "$root/polymul-*/polymul.exe")"
  echo "test-packages: $(basename "$zip") passed"
}

check_dist() {
  local tarball again
  tarball=$(only "$1/polymul-*.tar.gz")
  again=$(only "$2/polymul-*.tar.gz")
  same_bytes "$tarball" "$again"
  local name
  name=$(basename "$tarball" .tar.gz)
  tar -tzf "$tarball" | grep -v "^$name/" && fail "$tarball has files outside $name/"
  tar -tvzf "$tarball" | grep '^.....w' && fail "$tarball has group-writable entries"
  for file in LICENSE README.md Makefile CMakeLists.txt; do
    tar -tzf "$tarball" "$name/$file" >/dev/null || fail "$tarball has no $file"
  done
  tar -xzOf "$tarball" "$name/packaging/source-date-epoch" | grep -qx '[0-9]*' ||
    fail "$tarball does not hold the time of its commit"
  # Unpacked, it is no git checkout: no release can be made from it, nor
  # inside someone else's checkout, committed there or not; and a copy of the
  # sources that records no time makes no package stamped with the time of its
  # build. Each says why, and nothing else.
  tar -xzf "$tarball" -C "$scratch"
  local release=$scratch/$name
  local not_own="not the top of a git checkout of its own"
  refuses "$not_own" env GIT_CEILING_DIRECTORIES="$scratch" make -C "$release" dist BUILD_DIR=release
  git init -q "$scratch"
  refuses "$not_own" make -C "$release" dist BUILD_DIR=release
  git -C "$scratch" add "$name" && git -C "$scratch" -c user.name=t -c user.email=t@example.org \
    commit -qm other
  refuses "$not_own" make -C "$release" dist BUILD_DIR=release
  [ -z "$(ls -A "$release/release" 2>/dev/null)" ] || fail "make dist outside git left a file"
  echo '$Format:%ct$' >"$release/packaging/source-date-epoch"
  refuses "SOURCE_DATE_EPOCH=" env -u SOURCE_DATE_EPOCH make -C "$release" package BUILD_DIR=release
  echo "test-packages: $(basename "$tarball") passed"
}

# As a packager runs them, under a umask that lets nobody else read: make
# install into an empty root, where a folder was there before, and make
# uninstall, with the .deb built from the same folder before and in between
# (CPack installs into a staging folder of its own, which is nothing to
# remove); a file changed after the install stays, with its folders. Two more
# installs from the same build folder, one in another DESTDIR and one under
# another PREFIX, stay whole until they are uninstalled in their turn.
check_install() {
  local build=$1 root=$2 file private left said
  local first=$root/a
  local files=(bin/polymul share/man/man1/polymul.1.gz share/man/ru/man1/polymul.1.gz
    share/doc/polymul/copyright share/doc/polymul/changelog.gz)
  local others=("$root/b:/usr" "$first:/opt/polymul") other
  rm -rf "$root"
  mkdir -p "$first/usr/share/man"
  make_in() { make --no-print-directory BUILD_DIR="$build" "$@"; }
  installed() {  # DESTDIR PREFIX: the checksum of each file installed there
    for file in "${files[@]}"; do
      [ -f "$1$2/$file" ] || fail "$1$2/$file is missing"
      sha256sum "$1$2/$file"
    done
  }
  make_in package >/dev/null
  refuses "nothing was installed from $build" make_in uninstall
  local before=()
  for other in "${others[@]}"; do
    make_in install DESTDIR="${other%%:*}" PREFIX="${other#*:}" >/dev/null
    before+=("$(installed "${other%%:*}" "${other#*:}")")
  done
  refuses "nothing was installed from $build" make_in uninstall DESTDIR="$root/c" PREFIX=/usr
  for changed in "" usr/share/doc/polymul/copyright; do
    (umask 077 && make_in install DESTDIR="$first" PREFIX=/usr >/dev/null)
    if [ -z "$changed" ]; then  # and again, over it, with a file that changed since
      cp "$build/changelog.gz" "$scratch/changelog.gz"
      echo >>"$build/changelog.gz"
      make_in install DESTDIR="$first" PREFIX=/usr >/dev/null
      cp "$scratch/changelog.gz" "$build/changelog.gz"
    fi
    installed "$first" /usr >/dev/null
    private=$(find "$root" ! -perm -o=r -o -type d ! -perm -o=x)
    [ -z "$private" ] || fail "make install left these unreadable to others: $private"
    make_in package >/dev/null
    [ -z "$changed" ] || echo "changed since" >"$first/$changed"
    said=$(make_in uninstall DESTDIR="$first" PREFIX=/usr)
    left=$(cd "$first" && find usr | LC_ALL=C sort | tr '\n' ' ')
    grep -qxF "removed directory '$first/usr/share/man/man1'" <<<"$said" ||
      fail "make uninstall did not say which folders it removed: $said"
    if [ -z "$changed" ]; then
      [ "$left" = "usr usr/share usr/share/man " ] || fail "make uninstall left $left"
    else
      [ "$left" = "usr usr/share usr/share/doc usr/share/doc/polymul $changed usr/share/man " ] ||
        fail "make uninstall of a changed $changed left $left"
      grep -qF "$first/usr/share/doc/polymul stays" <<<"$said" ||
        fail "make uninstall did not say which folders stay: $said"
      rm "$first/$changed"
    fi
    ! grep "removing directory" <<<"$said" || fail "make uninstall claims to remove folders it keeps"
    [ -n "$changed" ] || ! grep "left alone" <<<"$said" ||
      fail "make uninstall claims to leave alone what it removes: $said"
    for at in "${!others[@]}"; do
      other=${others[$at]}
      [ "$(installed "${other%%:*}" "${other#*:}")" = "${before[$at]}" ] ||
        fail "make uninstall DESTDIR=$first PREFIX=/usr changed the install in $other"
    done
  done
  refuses "nothing was installed from $build" make_in uninstall DESTDIR="$first" PREFIX=/usr
  for other in "${others[@]}"; do
    make_in uninstall DESTDIR="${other%%:*}" PREFIX="${other#*:}" >/dev/null
    [ ! -e "${other%%:*}${other#*:}" ] || fail "make uninstall left ${other%%:*}${other#*:}"
  done
  [ ! -e "$root/b" ] && [ "$(ls -A "$first")" = usr ] ||
    fail "the last make uninstall left $(cd "$root" && find . -mindepth 1 | tr "\n" " ")"
  refuses "nothing was installed from $build" make_in uninstall
  echo "test-packages: make install and make uninstall passed"
}

case ${1:-} in
  deb) check_deb "$2" "$3" ;;
  zip) check_zip "$2" "$3" ;;
  dist) check_dist "$2" "$3" ;;
  install) check_install "$2" "$3" ;;
  *) fail "usage: test_packages.sh deb|zip|dist|install BUILD..." ;;
esac
