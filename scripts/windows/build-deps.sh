#!/bin/sh
# Builds static Qt, mbedTLS and libssh for 64-bit Windows from Debian's own source packages, once.
# The result lives outside the clone, keyed by the package versions and this recipe, and is reused
# by every later run. Prints the install prefix on its last line.
# Usage: build-deps.sh [cache folder]   (default /var/cache/quillon-windows)
set -e
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache_root=${1:-/var/cache/quillon-windows}
toolchain=$repo/cmake/mingw-w64-x86_64.cmake

candidate() { apt-cache policy "$1" | sed -n 's/^ *Candidate: //p'; }
qt_version=$(candidate qt6-base-dev)
mbedtls_version=$(candidate libmbedtls-dev)
libssh_version=$(candidate libssh-dev)
for v in "$qt_version" "$mbedtls_version" "$libssh_version"; do
    case "$v" in ""|"(none)") echo "apt knows no candidate for qt6-base-dev, libmbedtls-dev or libssh-dev (run apt-get update)" >&2; exit 1 ;; esac
done
key=$( (echo "$qt_version $mbedtls_version $libssh_version"
        x86_64-w64-mingw32-g++-posix --version | head -n 1
        cat "$0" "$toolchain") | sha256sum | cut -c1-16)
prefix=$cache_root/$key
if [ -f "$prefix/complete" ]; then
    echo "Windows dependencies: cached in $prefix" >&2
    echo "$prefix"
    exit 0
fi

echo "Windows dependencies: building qt6-base $qt_version, mbedtls $mbedtls_version, libssh $libssh_version into $prefix" >&2
start=$(date +%s)
rm -rf "$prefix" "$cache_root/work-$key"
work=$cache_root/work-$key
mkdir -p "$prefix/share/licences" "$work"
# Qt records its toolchain file's path: keep a copy beside the libraries so any clone can use them.
{ cat "$toolchain"; echo "list(APPEND CMAKE_FIND_ROOT_PATH $prefix)"; } > "$prefix/mingw-w64-x86_64.cmake"

# Source packages need deb-src entries: derive them from the machine's own apt sources.
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base'; then
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        case "$f" in */quillon-deb-src.sources) continue ;; esac
        sed 's/^Types:.*/Types: deb-src/' "$f"
        echo
    done > /etc/apt/sources.list.d/quillon-deb-src.sources
    grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | sed 's/^deb /deb-src /' \
        > /etc/apt/sources.list.d/quillon-deb-src.list || true
    apt-get update -qq
fi

# dpkg-source applies Debian's patches, security fixes included. The wanted version first; should the
# archive not serve its source, the newest older one it does serve (said so, and named in SOURCES.txt).
fetch_source() {
    for version in $2 $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -urV); do
        if apt-get source -qq "$1=$version" >/dev/null 2>"$work/fetch-$1.log"; then
            [ "$version" = "$2" ] || echo "Windows dependencies: the source of $1 $2 could not be fetched; built $version" >&2
            echo "$1=$version" >> "$work/built-versions"
            return 0
        fi
    done
    cat "$work/fetch-$1.log" >&2
    return 1
}
cd "$work"
fetch_source qt6-base "$qt_version"
fetch_source mbedtls "$mbedtls_version"
fetch_source libssh "$libssh_version"
qt_src=$(ls -d "$work"/qt6-base-*/)
mbedtls_src=$(ls -d "$work"/mbedtls-*/)
libssh_src=$(ls -d "$work"/libssh-*/)

cross="-DCMAKE_TOOLCHAIN_FILE=$prefix/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=$prefix -G Ninja"
sections="-ffunction-sections -fdata-sections"

# mbedTLS with threading on: libssh's initialisation needs its mutexes.
python3 "$mbedtls_src/scripts/config.py" -f "$mbedtls_src/include/mbedtls/config.h" set MBEDTLS_THREADING_C
python3 "$mbedtls_src/scripts/config.py" -f "$mbedtls_src/include/mbedtls/config.h" set MBEDTLS_THREADING_PTHREAD
cmake -S "$mbedtls_src" -B "$work/build-mbedtls" $cross -DCMAKE_C_FLAGS="$sections" \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF \
    -DMBEDTLS_FATAL_WARNINGS=OFF -DLINK_WITH_PTHREAD=ON >"$work/mbedtls.log"
cmake --build "$work/build-mbedtls" --target install >>"$work/mbedtls.log"

cmake -S "$libssh_src" -B "$work/build-libssh" $cross -DCMAKE_C_FLAGS="$sections" \
    -DBUILD_SHARED_LIBS=OFF -DWITH_MBEDTLS=ON -DWITH_GCRYPT=OFF -DWITH_ZLIB=OFF -DWITH_GSSAPI=OFF -DWITH_SERVER=OFF \
    -DWITH_EXAMPLES=OFF -DUNIT_TESTING=OFF -DCLIENT_TESTING=OFF -DWITH_PCAP=OFF -DWITH_NACL=OFF \
    -DMBEDTLS_ROOT_DIR="$prefix" >"$work/libssh.log"
cmake --build "$work/build-libssh" --target install >>"$work/libssh.log"
# A static libssh needs its define and its own dependencies named to whoever links it.
cat > "$prefix/lib/pkgconfig/libssh.pc" <<PC
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libssh
Description: The SSH library (static, mbedTLS)
Version: $(echo "$libssh_version" | sed 's/-.*//')
Libs: -L\${libdir} -lssh -lmbedtls -lmbedx509 -lmbedcrypto -liphlpapi -lws2_32 -lbcrypt -lpthread
Cflags: -I\${includedir} -DLIBSSH_STATIC=1
PC

# Qt: only what Quillon uses. Debian's source leaves out wintab (so no tablet events) and,
# with OpenGL off, the dynamic GL loader must go too. Direct2D stays: without it 6.4.2's Gui leaves
# out the DirectWrite font database that the Windows platform plugin still links to.
cmake -S "$qt_src" -B "$work/build-qt" $cross -DCMAKE_C_FLAGS="$sections" -DCMAKE_CXX_FLAGS="$sections" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON -DFEATURE_optimize_size=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_dynamicgl=OFF -DFEATURE_icu=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF >"$work/qt-configure.log" 2>&1 ||
    { tail -n 40 "$work/qt-configure.log" >&2; exit 1; }
echo "Windows dependencies: Qt configured after $(($(date +%s) - start)) s; building (about 1,100 steps)" >&2
cmake --build "$work/build-qt" -j2 >"$work/qt-build.log" 2>&1 || { tail -n 60 "$work/qt-build.log" >&2; exit 1; }
cmake --install "$work/build-qt" >"$work/qt-install.log"

# Licence texts for the zip: Qt's, each bundled library's own (with Qt's attribution files, which
# say what each part is and under which licence), mbedTLS's and libssh's, with Debian's copyright files.
lic=$prefix/share/licences
mkdir -p "$lic/qt6-base" "$lic/mbedtls" "$lic/libssh"
cp "$qt_src"/LICENSES/* "$qt_src/debian/copyright" "$lic/qt6-base/"
(cd "$qt_src/src" && find . \( -path ./3rdparty -prune -false \) -o -name qt_attribution.json -print &&
    find 3rdparty -maxdepth 3 -type f \( -iname '*licen[cs]e*' -o -iname 'copying*' -o -name FTL.TXT \
        -o -name qt_attribution.json \) -print) | while read -r file; do
    mkdir -p "$lic/qt6-base/src/$(dirname "$file")" && cp "$qt_src/src/$file" "$lic/qt6-base/src/$file"
done
cp "$mbedtls_src/LICENSE" "$mbedtls_src/debian/copyright" "$lic/mbedtls/"
cp "$libssh_src/COPYING" "$libssh_src/debian/copyright" "$lic/libssh/"
cat > "$lic/SOURCES.txt" <<TXT
Quillon's Windows programs link statically against Qt, libssh and mbedTLS, built from Debian 12's
source packages with Debian's patches and otherwise unchanged (static, unused Qt modules left out).
Their sources are in Debian's archive; fetch them with:
    apt-get source $(tr '\n' ' ' <"$work/built-versions")
Qt is used under the GNU LGPL version 3 (qt6-base/LGPL-3.0-only.txt); the libraries bundled in it
(zlib, PCRE2, libpng, libjpeg, HarfBuzz, FreeType and others) under their own licences, in
qt6-base/src/ beside Qt's attribution files. libssh: GNU LGPL 2.1 (libssh/COPYING). mbedTLS:
Apache 2.0 (mbedtls/LICENSE). Quillon's own source is open, so Qt can be replaced by relinking.
TXT

cd "$cache_root" && rm -rf "$work"
elapsed=$(($(date +%s) - start))
echo "$elapsed" > "$prefix/build-seconds"
touch "$prefix/complete"
echo "Windows dependencies: built in $((elapsed / 60)) min $((elapsed % 60)) s" >&2
echo "$prefix"
