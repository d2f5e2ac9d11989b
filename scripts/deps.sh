#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing (as root),
# or says exactly what to install. With --windows: the mingw-w64 cross compiler,
# Wine, and the Debian source packages of Expat and libdwarf (dwarfutils) in
# build/deps for the Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake make g++ pkg-config python3 googletest libgtest-dev libgmock-dev
          libbenchmark-dev libexpat1-dev libdw-dev clang libclang-rt-14-dev nlohmann-json3-dev)
windows=false
if [ "${1:-}" = --windows ]; then
  windows=true
  packages=(cmake make python3 googletest g++-mingw-w64-x86-64-posix wine64 wine dpkg-dev
            nlohmann-json3-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Debian source packages the Windows build compiles, when build/deps lacks them.
sources=()
if $windows; then
  ls -d build/deps/expat-*/expat >/dev/null 2>&1 || sources+=(expat)
  ls -d build/deps/dwarfutils-*/libdwarf >/dev/null 2>&1 || sources+=(dwarfutils)
fi
if [ ${#missing[@]} -eq 0 ] && [ ${#sources[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Install them with:" >&2
  [ ${#missing[@]} -eq 0 ] || echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  [ ${#sources[@]} -eq 0 ] ||
    echo "  (add deb-src entries, then) mkdir -p build/deps && cd build/deps && apt-get source ${sources[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#sources[@]} -ne 0 ] && ! apt-get source --print-uris "${sources[0]}" >/dev/null 2>&1; then
  # Debian's source packages for the same suites as the binary ones.
  echo "Adding deb-src entries for Debian's suites"
  cat >/etc/apt/sources.list.d/nuvzub-debian-src.sources <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
fi
apt-get update -qq
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
mkdir -p build/deps
for source in "${sources[@]}"; do
  # The newest version whose files the mirror still serves (a security update
  # may be listed before its files are reachable).
  fetched=false
  for version in $(apt-cache showsrc "$source" | sed -n 's/^Version: //p' | sort -rV); do
    if (cd build/deps && apt-get source -qq "$source=$version" >/dev/null 2>&1); then
      echo "$source source $version in build/deps"
      fetched=true
      break
    fi
  done
  $fetched || { echo "apt-get source $source failed" >&2; exit 1; }
done
