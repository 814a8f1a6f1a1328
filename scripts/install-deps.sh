#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing (with the argument
# quickstart: only those the quick start needs).
set -euo pipefail
PACKAGES=(g++ cmake ninja-build pkg-config libssl-dev libgtest-dev libbenchmark-dev
          python3 python3-dev python3-pytest python3-hypothesis python3-pip
          libsqlite3-dev libpq-dev postgresql
          clang-19 libclang-rt-19-dev libfuzzer-19-dev clang-format-19
          python3-mypy python3-venv graphviz python3-rich chromium)
# `scripts/install-deps.sh quickstart`: only what the quick start uses (build the extension
# and run the package and its command line with /usr/bin/python3).
if [[ ${1:-} == quickstart ]]; then
  PACKAGES=(g++ cmake ninja-build pkg-config libssl-dev python3 python3-dev libsqlite3-dev libpq-dev
            python3-rich)
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
