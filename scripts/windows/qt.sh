# Recipe: static Qt for Windows, only what Quillon uses. Sourced by build-deps.sh with $qt_src (the
# unpacked Debian source), $prefix, $work, $cross and $sections set.
# Debian's source leaves out wintab (so no tablet events) and, with OpenGL off, the dynamic GL
# loader must go too. Direct2D stays: without it 6.4.2's Gui leaves out the DirectWrite font
# database that the Windows platform plugin still links to.
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
echo "Windows dependencies: Qt configured; building (about 1,100 steps)" >&2
cmake --build "$work/build-qt" -j2 >"$work/qt-build.log" 2>&1 || { tail -n 60 "$work/qt-build.log" >&2; exit 1; }
cmake --install "$work/build-qt" >"$work/qt-install.log"

# Licence texts: Qt's, and each bundled library's own with Qt's attribution files, which say what
# each part is and under which licence.
lic=$prefix/share/licences/qt6-base
mkdir -p "$lic"
cp "$qt_src"/LICENSES/* "$qt_src/debian/copyright" "$lic/"
(cd "$qt_src/src" && find . \( -path ./3rdparty -prune -false \) -o -name qt_attribution.json -print &&
    find 3rdparty -maxdepth 3 -type f \( -iname '*licen[cs]e*' -o -iname 'copying*' -o -name FTL.TXT \
        -o -name qt_attribution.json \) -print) | while read -r file; do
    mkdir -p "$lic/src/$(dirname "$file")" && cp "$qt_src/src/$file" "$lic/src/$file"
done
