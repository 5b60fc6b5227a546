#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those that are missing). The Slurm and munge
# packages serve the tests of the Slurm batch back end (tools/slurm_local.sh starts its own daemons).
set -euo pipefail
packages=(build-essential cmake pkg-config libxerces-c-dev zlib1g-dev libdeflate-dev libisal-dev nlohmann-json3-dev libgtest-dev
          libbenchmark-dev libpng-dev clang clang-format libclang-rt-14-dev slurmctld slurmd slurm-client munge)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
