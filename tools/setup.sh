#!/usr/bin/env bash
# Installs everything the project needs to build and test on Debian 12.
# Safe to run again: it installs only what is missing.
#
# CPython 2.7 is not part of Debian 12, so the Debian 11 suite is added next to
# the machine's own sources (same mirror, same keyring), pinned below the
# current suite so that it only supplies packages the current suite lacks.
set -euo pipefail

packages=(build-essential cmake make pkg-config python3
          libgtest-dev libgmock-dev googletest libbenchmark-dev libreadline-dev
          binutils clang libclang-rt-14-dev
          chromium)
py2_packages=(python2.7 libpython2.7 libpython2.7-dev python2.7-dev python2.7-doc
              python2.7-dbg libpython2.7-dbg)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

legacy_list=/etc/apt/sources.list.d/qm-python-legacy.sources
legacy_pin=/etc/apt/preferences.d/qm-python-legacy

# The mirror that serves the machine's own Debian suite (not its security
# suite), from deb822 .sources files or a one-line sources.list.
debian_mirror() {
  local codename f
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v want="$codename" '
      function flush() {
        if (uri != "" && (" " suites " ") ~ (" " want " ") && uri !~ /security/) print uri
        uri = ""; suites = ""
      }
      /^[[:space:]]*$/ { flush(); next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { $1 = ""; suites = $0 }
      END { flush() }' "$f"
  done
  if [ -f /etc/apt/sources.list ]; then
    awk -v want="$codename" '$1 == "deb" && $0 !~ /security/ {
           for (i = 2; i < NF; i++) if ($i ~ /^[a-z]+:\/\// && $(i+1) == want) { print $i; break } }' \
      /etc/apt/sources.list
  fi
}

add_legacy_suite() {
  [ -f "$legacy_list" ] && return 0
  local mirror
  mirror=$(debian_mirror | head -n 1)
  if [ -z "$mirror" ]; then
    echo "setup: no Debian source found in /etc/apt to derive the Debian 11 entry from" >&2
    exit 1
  fi
  echo "setup: adding Debian 11 (bullseye) from $mirror for CPython 2.7"
  as_root tee "$legacy_list" >/dev/null <<SRC
Types: deb
URIs: $mirror
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  as_root tee "$legacy_pin" >/dev/null <<PIN
Package: *
Pin: release n=bullseye
Pin-Priority: 100
PIN
}

need=$(missing "${packages[@]}" "${py2_packages[@]}")
if [ -z "$need" ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
base_need=$(missing "${packages[@]}")
py_need=$(missing "${py2_packages[@]}")
if [ -n "$py_need" ]; then
  add_legacy_suite
fi
as_root apt-get update -qq
if [ -n "$base_need" ]; then
  # shellcheck disable=SC2086
  as_root apt-get install -y -qq --no-install-recommends $base_need
fi
if [ -n "$py_need" ]; then
  # shellcheck disable=SC2086
  as_root apt-get install -y -qq --no-install-recommends -t bullseye $py_need
fi
echo "setup: done"
