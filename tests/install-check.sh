#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the program, its desktop entry and its icon
# land in the XDG places, and that the desktop entry is valid.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/tessivarnholm share/applications/tessivarnholm.desktop \
         share/icons/hicolor/scalable/apps/tessivarnholm.svg; do
  [ -f "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
[ -x "$prefix/bin/tessivarnholm" ] || { echo "not executable: bin/tessivarnholm"; exit 1; }
grep -qx 'Exec=tessivarnholm' "$prefix/share/applications/tessivarnholm.desktop"
grep -qx 'Icon=tessivarnholm' "$prefix/share/applications/tessivarnholm.desktop"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/tessivarnholm.desktop"
else
  echo "SKIP: desktop-file-validate is not installed (Debian package desktop-file-utils)"
fi
echo "installed layout ok"
