# Recipe: static mbedTLS, libssh and libsodium for Windows. Sourced by build-deps.sh with
# $mbedtls_src, $libssh_src, $libsodium_src, $libssh_version, $prefix, $work, $cross and $sections set.

# mbedTLS with threading on: libssh's initialisation needs its mutexes.
config=$mbedtls_src/include/mbedtls/mbedtls_config.h
python3 "$mbedtls_src/scripts/config.py" -f "$config" set MBEDTLS_THREADING_C
python3 "$mbedtls_src/scripts/config.py" -f "$config" set MBEDTLS_THREADING_PTHREAD
cmake -S "$mbedtls_src" -B "$work/build-mbedtls" $cross -DCMAKE_C_FLAGS="$sections" \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF \
    -DMBEDTLS_FATAL_WARNINGS=OFF -DLINK_WITH_PTHREAD=ON >"$work/mbedtls.log" 2>&1 ||
    { tail -n 40 "$work/mbedtls.log" >&2; exit 1; }
cmake --build "$work/build-mbedtls" -j2 --target install >>"$work/mbedtls.log" 2>&1 ||
    { tail -n 40 "$work/mbedtls.log" >&2; exit 1; }

# libssh over mbedTLS carries its own reference Ed25519 and Curve25519 under the NaCl names that
# libsodium exports too: renamed here, the two never meet in one program.
nacl_names="crypto_sign_ed25519 crypto_sign_ed25519_keypair crypto_sign_ed25519_open crypto_scalarmult
    crypto_scalarmult_base"
renamed=$(for name in $nacl_names; do printf -- '-D%s=libssh_%s ' "$name" "$name"; done)
cmake -S "$libssh_src" -B "$work/build-libssh" $cross -DCMAKE_C_FLAGS="$sections $renamed" \
    -DBUILD_SHARED_LIBS=OFF -DWITH_MBEDTLS=ON -DWITH_GCRYPT=OFF -DWITH_ZLIB=OFF -DWITH_GSSAPI=OFF -DWITH_SERVER=OFF \
    -DWITH_EXAMPLES=OFF -DUNIT_TESTING=OFF -DCLIENT_TESTING=OFF -DWITH_PCAP=OFF -DWITH_NACL=OFF -DWITH_FIDO2=OFF \
    -DMBEDTLS_ROOT_DIR="$prefix" >"$work/libssh.log" 2>&1 || { tail -n 40 "$work/libssh.log" >&2; exit 1; }
cmake --build "$work/build-libssh" -j2 --target install >>"$work/libssh.log" 2>&1 ||
    { tail -n 40 "$work/libssh.log" >&2; exit 1; }
# A static libssh needs its define and its own dependencies named to whoever links it.
mkdir -p "$prefix/lib/pkgconfig"
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

# libsodium: the publisher signature's Ed25519 check.
(cd "$libsodium_src" && autoreconf -fi >"$work/libsodium.log" 2>&1 &&
    ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
        CFLAGS="-O2 $sections" >>"$work/libsodium.log" 2>&1 &&
    make -j2 >>"$work/libsodium.log" 2>&1 && make install >>"$work/libsodium.log" 2>&1) ||
    { tail -n 40 "$work/libsodium.log" >&2; exit 1; }

lic=$prefix/share/licences
mkdir -p "$lic/mbedtls" "$lic/libssh" "$lic/libsodium"
cp "$mbedtls_src/LICENSE" "$mbedtls_src/debian/copyright" "$lic/mbedtls/"
cp "$libssh_src/COPYING" "$libssh_src/debian/copyright" "$lic/libssh/"
cp "$libsodium_src/LICENSE" "$libsodium_src/debian/copyright" "$lic/libsodium/"
# A static libsodium on Windows must not be declared as imported from a DLL.
sed -i 's|^Cflags: .*|& -DSODIUM_STATIC=1|' "$prefix/lib/pkgconfig/libsodium.pc"
