#!/bin/bash
# Installs what building and testing dactylink needs on a Debian machine,
# only the packages that are missing.
set -euo pipefail
packages=(
  cmake ninja-build ccache g++ clang libclang-rt-14-dev
  googletest libbenchmark-dev
  openjdk-17-jdk-headless junit5 libpicocli-java libh2-java
  postgresql-15 libpostgresql-jdbc-java
  g++-mingw-w64-x86-64-posix wine64
  lrzsz python3 libpng-dev
  # The desktop window's test: an X server of its own, and the JRE's AWT for X.
  xvfb xauth openjdk-17-jre
  # The release test builds the README's Maven example offline with these.
  maven libmaven-resources-plugin-java libmaven-compiler-plugin-java libexec-maven-plugin-java
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
