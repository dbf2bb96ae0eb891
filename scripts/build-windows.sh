#!/bin/sh
# Cross-builds the Windows program (Quillon.exe, quillon-cli.exe, quillon-settings.exe and
# quillon-publish.exe: each one static, stripped file) into build-win/Quillon-win64.zip and the setup
# build-win/Quillon-setup.exe, then runs its tests under Wine.
# Installs what is missing first. The first run also builds static Qt (Debian 12's source) and
# mbedTLS, libssh and libsodium (Debian 13's, kept patched there) into /var/cache/quillon-windows
# (scripts/windows/build-deps.sh); later runs reuse them until Debian publishes a newer version.
# With --no-tests it stops after the zip and the setup.
set -e
cd "$(dirname "$0")/.."
top=$PWD
scripts/install-packages.sh $(cat scripts/build-packages.txt scripts/test-packages.txt scripts/windows-packages.txt)
deps=$(scripts/windows/build-deps.sh)
qt_prefix=$(echo "$deps" | head -n 1)
libraries_prefix=$(echo "$deps" | tail -n 1)

# One Wine prefix for the whole run, made before anything needs it: a first prefix can take minutes.
WINEPREFIX=$top/build-win/wine-prefix
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p build-win
sh tests/win/prepare-wine-prefix.sh "$WINEPREFIX"

# The Windows build sees only the cross-built libraries' pkg-config files, never the host's.
win_cmake() { PKG_CONFIG_LIBDIR="$libraries_prefix/lib/pkgconfig" cmake "$@"; }
# A build made against other dependencies starts its configuration afresh.
if [ "$deps" != "$(cat build-win/dependencies 2>/dev/null)" ]; then
    echo "$deps" > build-win/dependencies
    rm -f build-win/CMakeCache.txt
fi
win_cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_ADDITIONAL_PACKAGES_PREFIX_PATH="$libraries_prefix" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v wine)" -DQUILLON_HOST_BUILD_DIR="$top/build" >/dev/null
win_cmake --build build-win -j2 --target Quillon quillon-cli quillon-settings quillon-publish

# The portable zip: the four programs, the licences of what they contain and where its sources are.
package=build-win/package
rm -rf "$package" build-win/Quillon-win64.zip
mkdir -p "$package/Quillon/licences"
cp build-win/Quillon.exe build-win/tools/quillon-cli.exe build-win/tools/quillon-settings.exe \
    build-win/tools/quillon-publish.exe "$package/Quillon/"
cp -r "$qt_prefix/share/licences/." "$libraries_prefix/share/licences/." "$package/Quillon/licences/"
rm "$package"/Quillon/licences/sources-*.txt
sources=$(cat "$qt_prefix/share/licences/sources-qt.txt" "$libraries_prefix/share/licences/sources-libraries.txt")
cat > "$package/Quillon/licences/SOURCES.txt" <<TXT
Quillon's Windows programs link statically against these Debian source packages, built with
Debian's patches and otherwise unchanged (static, unused Qt modules left out):
$(echo "$sources" | sed 's/^/    /')
Qt comes from Debian 12; mbedTLS, libssh and libsodium from Debian 13, whose security updates keep
them patched. Fetch the sources from Debian's archive with:
    apt-get source $(echo $sources)
Qt is used under the GNU LGPL version 3 (qt6-base/LGPL-3.0-only.txt); the libraries bundled in it
(zlib, PCRE2, libpng, libjpeg, HarfBuzz, FreeType and others) under their own licences, in
qt6-base/src/ beside Qt's attribution files. libssh: GNU LGPL 2.1 (libssh/COPYING). mbedTLS:
Apache 2.0 (mbedtls/LICENSE). libsodium: ISC (libsodium/LICENSE). Quillon's own source is open, so
Qt can be replaced by relinking.
TXT
(cd "$package" && cmake -E tar cf ../Quillon-win64.zip --format=zip Quillon)
# The setup installs the same files for the current user (scripts/windows/setup.nsi).
# Its first and last pages show the title picture, on its own light blue below it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)
convert resources/Title.png -resize 164x -background '#e8f1fc' -gravity north -extent 164x314 \
    BMP3:build-win/setup-side.bmp
# The uninstaller removes exactly the files the setup carries.
(cd "$package/Quillon" && find . -type f | sed 's|^\./||; s|/|\\|g; s|.*|Delete "$INSTDIR\\&"|') \
    >build-win/setup-files.nsh
makensis -V2 -DVERSION="$version" -DPAYLOAD="$top/$package/Quillon" -DICON="$top/resources/Icon.ico" \
    -DSIDE="$top/build-win/setup-side.bmp" -DFILES="$top/build-win/setup-files.nsh" \
    -DOUTFILE="$top/build-win/Quillon-setup.exe" scripts/windows/setup.nsi
for exe in "$package"/Quillon/*.exe build-win/Quillon-setup.exe; do
    echo "$(basename "$exe"): $(stat -c %s "$exe") bytes"
done
echo "Built $top/build-win/Quillon-win64.zip and $top/build-win/Quillon-setup.exe"
[ "$1" = "--no-tests" ] && exit 0

# The tests under Wine; the end-to-end ones compare with the Linux programs, so build those too.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target quillon-cli quillon-settings
win_cmake --build build-win -j2
# The Windows build's headers and programs must come from listed packages too.
/usr/bin/python3 scripts/check-packages.py
# A virtual display for the tests whose Windows programs show windows (the restarted Quillon.exe).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>build-win/display 2>/dev/null &
display_pid=$!
trap 'kill $display_pid 2>/dev/null' EXIT
for _ in $(seq 1 100); do [ -s build-win/display ] && break; sleep 0.2; done
DISPLAY=:$(head -n 1 build-win/display)
export DISPLAY
cd build-win && ctest --output-on-failure
