#!/usr/bin/env bash
# Installs everything the tree needs on Debian 12, as root. Idempotent: a second
# run checks what is there and returns in a few seconds.
#
#   Debian packages (native toolchain, clang with libFuzzer for the fuzz
#   targets, pcsc-lite, pcscd, vpcd, mingw-w64, Wine
#   with wine32, Xvfb, PKCS #11 consumers);
#   where the kernel refuses 32-bit programs: qemu-user-static, registered
#   for i386 programs through binfmt_misc (scripts/qemu-i386-binfmt.sh), so
#   that 32-bit Windows programs run emulated;
#   mbed TLS 2.28 and GoogleTest cross-built for i686 and x86_64 mingw into
#   .deps/ (git ignores it), from Debian's own source packages;
#   the tree's Wine prefix .deps/wine (scripts/wine-run.sh).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"
mkdir -p "$deps"

log() { printf '[setup] %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh must run as root (it installs Debian packages)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

packages=(
  build-essential g++ cmake ninja-build pkg-config dpkg-dev
  clang libclang-rt-dev
  libgtest-dev googletest libbenchmark-dev
  libpcsclite-dev pcscd pcsc-tools vsmartcard-vpcd
  libmbedtls-dev libp11-kit-dev nlohmann-json3-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine64 wine32:i386 xvfb xauth
  fonts-wine fonts-wqy-microhei imagemagick
  python3 python3-cryptography
  opensc gnutls-bin openssl libengine-pkcs11-openssl python3-pykcs11 libnss3-tools
)

missing=()
for p in "${packages[@]}"; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$st" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${packages[@]}"
fi

# --- 32-bit programs ---------------------------------------------------------
# Where the kernel refuses them, Wine's 32-bit loader runs under qemu-i386.
# The entry is registered only there: on other machines it would take every
# i386 program of the machine away from the kernel.
kernel_i386=$(bash "$top/scripts/wine-run.sh" --i386-kernel)
if [ "$kernel_i386" = refused ]; then
  if [ "$(dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null || true)" != "install ok installed" ]; then
    log "this kernel refuses 32-bit programs: installing qemu-user-static"
    apt-get install -y -q --no-install-recommends qemu-user-static
  fi
  bash "$top/scripts/qemu-i386-binfmt.sh" register
fi
log "32-bit programs: the kernel says $kernel_i386; Windows i686 programs run: $(bash "$top/scripts/wine-run.sh" --i386-mode)"

# pcscd must not be left running by the package's own scripts with Debian's
# reader list: the test harness starts one with the project's readers.
# (Nothing to do in a container without systemd; on a full system the
# socket unit may be active and the harness then reuses that daemon.)

# --- mbed TLS and GoogleTest for the mingw targets -------------------------
mbed_ver=2.28.3
src="$deps/src"
mkdir -p "$src"

fetch_mbedtls_source() {
  [ -d "$src/mbedtls" ] && return 0
  log "fetching Debian's mbedtls source package"
  if ! ls /etc/apt/sources.list.d/debian-src.* >/dev/null 2>&1; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        > /etc/apt/sources.list.d/debian-src.sources
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/debian-src.list
    fi
    apt-get update -q
  fi
  local tmp
  tmp=$(mktemp -d "$src/dl.XXXX")
  (cd "$tmp" && apt-get source -q --download-only "mbedtls=$mbed_ver*" ) ||
    (cd "$tmp" && apt-get source -q --download-only mbedtls)
  # Unpack with Debian's patches applied, so the build matches the package.
  (cd "$tmp" && dpkg-source --no-check -x ./mbedtls_*.dsc unpacked >/dev/null)
  mv "$tmp/unpacked" "$src/mbedtls"
  rm -rf "$tmp"
}

configure_mbedtls_like_debian() {
  local dir=$1
  # Apply exactly the options Debian's rules set on top of upstream's
  # configuration (MD2, MD4, CMAC, threading, ...), read from the package.
  local opts
  opts=$(sed -n 's/^\s*scripts\/config.py set \([A-Z0-9_]*\).*/\1/p' "$src/mbedtls/debian/rules")
  [ -n "$opts" ] || { echo "no options found in debian/rules" >&2; return 1; }
  for opt in $opts; do
    (cd "$dir" && python3 scripts/config.py set "$opt")
  done
}

build_mingw_mbedtls() {
  local arch=$1 prefix="$deps/mingw-$1"
  [ -f "$prefix/lib/libmbedcrypto.a" ] && return 0
  log "building mbed TLS $mbed_ver for $arch mingw"
  local work="$deps/build/mbedtls-$arch"
  rm -rf "$work"; mkdir -p "$work"
  cp -a "$src/mbedtls/." "$work/src"
  configure_mbedtls_like_debian "$work/src"
  cmake -S "$work/src" -B "$work/b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON \
    -DMBEDTLS_FATAL_WARNINGS=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$work/b" -j"$(nproc)" >/dev/null
  cmake --install "$work/b" >/dev/null
  rm -rf "$work"
}

build_mingw_gtest() {
  local arch=$1 prefix="$deps/mingw-$1"
  [ -f "$prefix/lib/libgtest.a" ] && return 0
  log "building GoogleTest for $arch mingw"
  local work="$deps/build/gtest-$arch"
  rm -rf "$work"
  cmake -S /usr/src/googletest -B "$work" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -Dgtest_disable_pthreads=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$work" -j"$(nproc)" >/dev/null
  cmake --install "$work" >/dev/null
  rm -rf "$work"
}

# Header-only dependencies the mingw builds may see: nothing else of
# /usr/include. Debian's nlohmann json is the multi-header form: all of it.
stage_cross_headers() {
  local inc="$deps/cross-include"
  mkdir -p "$inc/p11-kit" "$inc/nlohmann"
  cp -u /usr/include/p11-kit-1/p11-kit/pkcs11.h "$inc/p11-kit/pkcs11.h"
  cp -ru /usr/include/nlohmann/. "$inc/nlohmann/"
}

fetch_mbedtls_source
for arch in i686 x86_64; do
  build_mingw_mbedtls "$arch"
  build_mingw_gtest "$arch"
done
stage_cross_headers

# The Wine prefix, made once per tree before any test needs it (its 32-bit
# half runs emulated where the kernel refuses 32-bit programs).
if [ ! -f "$deps/wine/.solvanta-ready" ]; then
  log "making the Wine prefix"
fi
bash "$top/scripts/wine-run.sh" --prefix >/dev/null
log "ready"
