#!/usr/bin/env bash
# Installs the Debian packages that building and the demo need, but only
# those that are missing; with --tests also those that only the test command
# needs (valgrind, clang with its sanitizer and libFuzzer runtimes, a browser).
#
#   scripts/install-deps.sh [--tests]
set -euo pipefail

packages=(cmake g++ make pkg-config libpq-dev postgresql googletest libgtest-dev graphviz)
# SHA-256 of the files a recorded build knew (tracemake).
packages+=(nettle-dev)
# traceview: its HTTP library and JSON (SHA-256 through nettle-dev above).
packages+=(libcpp-httplib-dev nlohmann-json3-dev)
case ${1:-} in
--tests)
  # libclang-rt-dev is the runtime of Debian's default clang, whatever its
  # version; traceview's browser tests drive Debian's Chromium through
  # /usr/bin/python3 and Selenium; the recorder's tests read make's data base
  # in other languages.
  packages+=(valgrind clang libclang-rt-dev chromium chromium-driver python3-selenium locales-all) ;;
"") ;;
*) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac

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
