#!/usr/bin/env bash
# Installs with apt-get what building and serving traxel need; with --test
# also what its tests need (sanitizer and fuzzer runtimes, a browser,
# Prometheus and its promtool, ip and ethtool for the network namespace
# tests, mandoc and man for the lint of the manual pages, htpasswd for the
# password test, systemd-analyze for the units, the web servers whose
# shipped configurations are tested: Apache, lighttpd, nginx and fcgiwrap,
# run privately by that test); with --bench what
# the benchmarks need (Google Benchmark, tcpdump to compare live capture
# with, ip and ethtool for their veth pairs).
. "$(dirname "$0")/help.sh"
set -euo pipefail

# The daemon's kernel programs are compiled with clang's BPF target and
# loaded through libbpf and a skeleton that bpftool generates.
packages=(build-essential cmake libgtest-dev libgmock-dev libpcap-dev libcap-dev libcap2-bin libseccomp-dev clang bpftool
          libbpf-dev mini-httpd)
if [ "${1:-}" = --test ]; then
  packages+=(libbenchmark-dev libclang-rt-dev chromium curl procps python3 prometheus iproute2 ethtool mandoc man-db
            apache2-utils systemd apache2 lighttpd nginx-light fcgiwrap)
fi
if [ "${1:-}" = --bench ]; then
  packages+=(libbenchmark-dev tcpdump ethtool iproute2)
fi
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "traxel: installing ${missing[*]}"
  # Others may be installing at the same time: wait for the package lock.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
