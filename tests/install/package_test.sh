#!/usr/bin/env bash
# The Debian package: built by CPack, its dependencies satisfiable on this
# system, its files where desktops look, and the programs in it start.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >/dev/null
deb=$(ls "$work"/quillmere_*.deb)
echo "package: $(basename "$deb")"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libcurl4 libpcre2-16-0 libduktape207 libminizip1 ca-certificates; do
  grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; exit 1; }
done

# Would it install here? (apt resolves the dependencies without changing anything.)
apt-get install --simulate "$deb" >/dev/null

dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/quillmere usr/bin/quillmere-cli usr/share/applications/quillmere.desktop usr/share/icons/hicolor/scalable/apps/quillmere.svg; do
  [ -e "$work/root/$f" ] || { echo "missing $f"; exit 1; }
done
grep -q '^Exec=quillmere$' "$work/root/usr/share/applications/quillmere.desktop"

# The installed program starts and keeps running (2 s), without an opener.
set +e
timeout 2 env PATH=/nonexistent QT_QPA_PLATFORM=offscreen "$work/root/usr/bin/quillmere" 2>/dev/null
code=$?
set -e
[ "$code" -eq 124 ] || { echo "the program ended by itself with $code"; exit 1; }

# The command-line companion runs without a display.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY "$work/root/usr/bin/quillmere-cli" --version)
[[ "$version" == "quillmere-cli "* ]] || { echo "quillmere-cli --version said: $version"; exit 1; }
echo "ok"
