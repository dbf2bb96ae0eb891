#!/bin/sh
# Builds the Windows program's static dependencies from Debian's own source packages, Debian's
# patches applied, each part once: Qt from this machine's Debian release (recipe qt.sh), and
# mbedTLS, libssh and libsodium from Debian 13, whose suites keep them patched (recipe
# libraries.sh). Each part lives outside the clone in a folder keyed by its source versions and its
# recipe, so a new Debian security version is built by the next run without touching any script.
# A source that cannot be fetched stops the build: never an older version in its place.
# Prints two lines: Qt's prefix, then the libraries' prefix.
# Usage: build-deps.sh [cache folder]   (default /var/cache/quillon-windows)
set -e
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache_root=${1:-/var/cache/quillon-windows}
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
maintained=trixie
fail() { echo "Windows dependencies: $*" >&2; exit 1; }

# One build at a time per cache: another clone's run waits here instead of unpacking over this one.
mkdir -p "$cache_root"
exec 9>"$cache_root/lock"
flock 9

# deb-src entries derived from the machine's own apt sources, so the repository names no host: the
# release's own suites (Qt), and the same archives' maintained and maintained-security suites.
derive_sources() {
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && [ "$f" != "$1" ] || continue
        awk -v rel="$release" -v new="$maintained" '
            function flush(   n, i, s, mapped) {
                if (body != "" && types ~ /(^| )deb( |$)/) {
                    printf "Types: deb-src\nSuites: %s\n%s\n", suites, body
                    n = split(suites, s, " ")
                    for (i = 1; i <= n; i++)
                        if (s[i] == rel || s[i] == rel "-security") mapped = mapped " " new substr(s[i], length(rel) + 1)
                    if (mapped != "") printf "Types: deb-src\nSuites:%s\n%s\n", mapped, body
                }
                body = ""; suites = ""; types = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0; next }
            /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0; next }
            { body = body $0 "\n" }
            END { flush() }' "$f"
    done
    grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | while read -r _ rest; do
        echo "deb-src $rest"
        echo "deb-src $rest" | sed -n "s/ $release\( \|-security \)/ $maintained\1/p"
    done
}
sources_file=/etc/apt/sources.list.d/quillon-deb-src.sources
wanted=$(derive_sources "$sources_file")
if [ "$wanted" != "$(cat "$sources_file" 2>/dev/null)" ]; then
    rm -f /etc/apt/sources.list.d/quillon-deb-src.list   # an older recipe's
    echo "$wanted" > "$sources_file"
fi
# Fresh package lists every time: the newest patched version is the one to build.
apt-get update -qq || fail "apt-get update failed, so the newest source versions are unknown"

# The newest version of a source package served by the given suites, found now, never written down.
newest_source() {
    best=""
    for v in $(apt-cache madison "$1" | awk -F'|' -v suites=" ($2)/" \
            '$3 ~ / Sources[ \t]*$/ && $3 ~ suites { gsub(/ /, "", $2); print $2 }'); do
        if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
    done
    [ -n "$best" ] || fail "no source of $1 is served by the suites $2 (see $sources_file)"
    echo "$best"
}
# Qt's cross build runs the host's own Qt tools, so its source is the version installed here.
qt_version=$(apt-cache policy qt6-base-dev | sed -n 's/^ *Candidate: //p')
case "$qt_version" in ""|"(none)") fail "apt knows no candidate for qt6-base-dev (run apt-get update)" ;; esac
suites="$maintained|$maintained-security"
mbedtls_version=$(newest_source mbedtls "$suites")
libssh_version=$(newest_source libssh "$suites")
libsodium_version=$(newest_source libsodium "$suites")

cross_flags="-DCMAKE_BUILD_TYPE=Release -G Ninja"
sections="-ffunction-sections -fdata-sections"
compiler=$(x86_64-w64-mingw32-g++-posix --version | head -n 1)

# build_part NAME RECIPE "PACKAGE=VERSION..." : fetches the sources (dpkg-source applies Debian's
# patches) and runs the recipe into a prefix keyed by what goes into it; prints the prefix.
build_part() {
    key=$( (echo "$3 $compiler $cross_flags $sections"; cat "$here/$2" "$toolchain") | sha256sum | cut -c1-16)
    prefix=$cache_root/$1-$key
    if [ -f "$prefix/complete" ]; then
        echo "Windows dependencies: $3 cached in $prefix" >&2
        echo "$prefix"
        return 0
    fi
    echo "Windows dependencies: building $3 into $prefix" >&2
    start=$(date +%s)
    work=$cache_root/work-$1-$key
    rm -rf "$prefix" "$work"
    mkdir -p "$prefix/share/licences" "$work"
    for source in $3; do
        (cd "$work" && apt-get source -qq "$source" >"$work/fetch.log" 2>&1) ||
            { cat "$work/fetch.log" >&2; fail "the source of ${source%%=*} ${source#*=} could not be fetched; stopping"; }
        # The unpacked folder of each source, by package name, for the recipe.
        name=${source%%=*}
        eval "${name%%[0-9]*}_src=\$(ls -d \"\$work\"/$name-*/ | head -n 1)"
    done
    # Qt records its toolchain file's path: keep a copy beside the libraries so any clone can use them.
    { cat "$toolchain"; echo "list(APPEND CMAKE_FIND_ROOT_PATH $prefix)"; } > "$prefix/mingw-w64-x86_64.cmake"
    cross="-DCMAKE_TOOLCHAIN_FILE=$prefix/mingw-w64-x86_64.cmake -DCMAKE_INSTALL_PREFIX=$prefix $cross_flags"
    (. "$here/$2") >&2
    echo "$3" | tr ' ' '\n' > "$prefix/share/licences/sources-$1.txt"
    cd "$cache_root" && rm -rf "$work"
    echo "Windows dependencies: $1 built in $(($(date +%s) - start)) s" >&2
    touch "$prefix/complete"
    echo "$prefix"
}
qt_prefix=$(build_part qt qt.sh "qt6-base=$qt_version")
libraries_prefix=$(build_part libraries libraries.sh \
    "mbedtls=$mbedtls_version libssh=$libssh_version libsodium=$libsodium_version")
echo "$qt_prefix"
echo "$libraries_prefix"
