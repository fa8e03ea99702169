#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need,
# but only those that are missing.
set -euo pipefail

packages=(cmake g++ make pkg-config libpq-dev postgresql googletest libgtest-dev graphviz valgrind)
# SHA-256 of the files a recorded build knew (tracemake).
packages+=(libssl-dev locales-all)
# clang with its libFuzzer and sanitizer runtimes: relplot's fuzz target.
packages+=(clang libclang-rt-14-dev)
# traceview: its HTTP library, SHA-256 and JSON; its browser tests drive
# Debian's Chromium through /usr/bin/python3 and Selenium.
packages+=(libcpp-httplib-dev libssl-dev nlohmann-json3-dev chromium chromium-driver python3-selenium)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
