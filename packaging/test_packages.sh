#!/usr/bin/env bash
# Checks the packages as their users get them: the .deb's fields and contents,
# its program run from where it was unpacked, its manual pages rendered without
# a warning, and the Windows .zip's contents.
# Usage: test_packages.sh NATIVE_BUILD WINDOWS_BUILD
set -euo pipefail
fail() { echo "test-packages: $*"; exit 1; }
deb=$(ls "$1"/polymul_*.deb)
zip=$(ls "$2"/polymul-*.zip)

dpkg-deb -f "$deb"
dpkg-deb -c "$deb"
[ "$(dpkg-deb -f "$deb" Package)" = polymul ] || fail "the package is not called polymul"
[ "$(dpkg-deb -f "$deb" Section)" = math ] || fail "the section is not math"
dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= ' || fail "Depends was not computed"
contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for file in ./usr/bin/polymul ./usr/share/man/man1/polymul.1.gz \
  ./usr/share/man/ru/man1/polymul.1.gz; do
  grep -qx "$file" <<<"$contents" || fail "$file is missing"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
expected='Программа демонстрирует умножение полиномов
Задайте порядок полиномов: Задайте коэффициенты полиномов через пробел
от a0 при Xn до aN свободный член
p1()= p2()= Значение полинома p3 = [ 4 13 28 27 18 ]
Нажмите любую клавишу'
shown=$(echo "2 1 2 3 4 5 6" | LC_ALL=C.UTF-8 "$root/usr/bin/polymul")
[ "$shown" = "$expected" ] || fail "the unpacked program wrote: $shown"

# The pages hold Russian letters, which only a UTF-8 locale can render.
for page in "$root"/usr/share/man/man1/polymul.1.gz "$root"/usr/share/man/ru/man1/polymul.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done

zip_contents=$(cmake -E tar tf "$zip")
echo "$zip_contents"
for file in polymul.exe README.txt; do
  grep -q "/$file\$" <<<"$zip_contents" || fail "$zip has no $file"
done
echo "test-packages: $(basename "$deb") and $(basename "$zip") passed"
