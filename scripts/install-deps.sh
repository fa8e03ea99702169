#!/usr/bin/env bash
# Installs the Debian packages that building and the demo need, but only
# those that are missing; with --tests also those that only the test command
# needs (valgrind, and clang with its sanitizer and libFuzzer runtimes).
#
#   scripts/install-deps.sh [--tests]
set -euo pipefail

packages=(cmake g++ make pkg-config libpq-dev postgresql googletest libgtest-dev graphviz)
# SHA-256 of the files a recorded build knew (tracemake); make's translations
# read in every language a build may run in.
packages+=(libssl-dev locales-all)
case ${1:-} in
--tests)
  # libclang-rt-dev is the runtime of Debian's default clang, whatever its version.
  packages+=(valgrind clang libclang-rt-dev) ;;
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
