#!/usr/bin/env bash
# CPython 3.14 and 3.15 for machines whose own distribution has neither: Debian's unstable
# suite has both as binary packages (python3.14, python3.15 with -dev and -venv), built
# for a newer C library than the machine's, so they run in a private root file system
# under chroot. The root is built once (mmdebstrap, a few minutes, about 700 MB) and
# kept outside the clone for later runs.
#
#   bash tools/newer_pythons.sh test 3.14 [pytest args]   the nox session tests-3.14 (noxfile.py):
#                                                         a fresh venv, the project, the suite
#   bash tools/newer_pythons.sh run 3.15 CMD [ARGS...]     any command inside the root, from
#                                                         the project folder, with CSDK_PYTHON
#                                                         and PYTHON naming python3.15
#   bash tools/newer_pythons.sh root                       only build the root when missing
#
# e.g. the benchmarks on 3.14:  bash tools/newer_pythons.sh run 3.14 bash bench/run.sh --quick
#
# CSDK_CHROOT sets the root (default /var/cache/c_sdk/sid-root), CSDK_DEBIAN_MIRROR the
# mirror (default: the first Debian mirror in the machine's apt sources). Needs root.
# The project folder is bind-mounted at its own path, writable (builds and venvs go to
# its .work/, or CSDK_WORK_DIR), with /proc, /dev, /dev/pts and /sys, the machine's pip
# configuration (its files, the PIP_* variables and the local files and folders they
# name, such as the PIP_CERT file) and its resolv.conf. All mounts are made in a
# private mount namespace and undone on every way out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sysroot=${CSDK_CHROOT:-/var/cache/c_sdk/sid-root}
packages=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv
packages+=,g++,make,cmake,ca-certificates,git,valgrind

usage() {
  sed -n '2,22p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# The first Debian mirror in the machine's apt sources (deb822 or one-line form).
debian_mirror() {
  local uri
  uri=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security \
        | head -n1 | awk '{print $2}')
  [[ -n "$uri" ]] || uri=$(grep -hE '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
        | grep -v security | grep -i debian | head -n1 | sed -E 's/^\s*deb\s+(\[[^]]*\]\s+)?//' | awk '{print $1}')
  echo "${uri:-http://deb.debian.org/debian}"
}

root_complete() {
  local f
  for f in usr/bin/python3.14 usr/bin/python3.15 usr/include/python3.14/Python.h usr/include/python3.15/Python.h \
           usr/bin/g++ usr/bin/cmake usr/bin/make usr/bin/valgrind; do
    [[ -e "$sysroot/$f" ]] || return 1
  done
}

build_root() {
  mkdir -p "$(dirname "$sysroot")"
  # One build at a time; a second caller waits and then finds the root made.
  exec 9>"$sysroot.lock"
  flock 9
  if root_complete; then
    exec 9>&-
    return
  fi
  if ! command -v mmdebstrap >/dev/null; then
    apt-get update -q >&2 && apt-get install -y -q mmdebstrap >&2
  fi
  local mirror=${CSDK_DEBIAN_MIRROR:-$(debian_mirror)}
  echo "building the sid root for CPython 3.14/3.15 in $sysroot (from $mirror)" >&2
  rm -rf "$sysroot.tmp"
  # The suite's Release file on the archive has expired; its signature still counts.
  mmdebstrap --variant=apt --mode=root --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
    --aptopt='Acquire::Check-Valid-Until "false"' --include="$packages" \
    sid "$sysroot.tmp" "$mirror" >&2
  # An old, incomplete root is replaced; never one with something mounted in it.
  if grep -qF " $sysroot/" /proc/mounts; then
    echo "$sysroot has mounts in it; not replacing it" >&2
    exit 1
  fi
  rm -rf "$sysroot"
  mv "$sysroot.tmp" "$sysroot"
  exec 9>&-
}

# inside_root CMD...: runs CMD in the root, from the project folder. Called in a private
# mount namespace (see the end of this file); the trap undoes the mounts all the same.
mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
}
bind() {  # bind SRC [ro]
  local src=$1 dst=$sysroot$1
  if [[ -d "$src" ]]; then mkdir -p "$dst"; else mkdir -p "$(dirname "$dst")" && touch "$dst"; fi
  mount --bind "$src" "$dst"
  mounts+=("$dst")
  if [[ "${2:-}" == ro ]]; then mount -o remount,bind,ro "$dst"; fi
}

# pip inside the root sees what it sees outside: the configuration files at their own
# paths, and every local file or folder they or the PIP_* variables name (the CA file,
# constraints, find-links folders, file:// indexes with the folder that holds them):
# files copied, folders bound read-only.
carry_pip_config() {
  local f name path configs=()
  for f in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf" \
           ${PIP_CONFIG_FILE:-}; do
    [[ -f "$f" ]] || continue
    configs+=("$f")
    mkdir -p "$(dirname "$sysroot$f")" && cp -L "$f" "$sysroot$f"
  done
  while IFS= read -r path; do
    # A file:// index's pages may link to files beside it (../files/...): its parent goes in.
    [[ "$path" == file://* ]] && path=$(dirname "${path#file://}")
    if [[ -d "$path" ]]; then
      # Never over the root's own system folders.
      [[ "$path" =~ ^/+(bin|boot|dev|etc|lib[^/]*|proc|run|sbin|sys|usr|var)?/*$ ]] && continue
      [[ "$path" =~ ^/+(bin|boot|dev|etc|lib[^/]*|proc|run|sbin|sys|usr|var)(/|$) ]] && continue
      bind "$path" ro
    elif [[ -f "$path" ]]; then
      mkdir -p "$(dirname "$sysroot$path")" && cp -L "$path" "$sysroot$path"
    fi
  done < <( { cat /dev/null ${configs[@]+"${configs[@]}"}; for name in $(compgen -e | grep '^PIP_'); do echo "${!name}"; done; } \
            | grep -oE '(file://)?/[^[:space:]"'"'"']+' | sort -u)
}

inside_root() {
  trap unmount_all EXIT INT TERM
  bind /proc
  bind /dev
  bind /dev/pts
  bind /sys
  bind "$root"
  local work=${CSDK_WORK_DIR:-}
  if [[ -n "$work" && "$work" != "$root"/* ]]; then mkdir -p "$work" && bind "$work"; fi
  cp -L /etc/resolv.conf "$sysroot/etc/resolv.conf" 2>/dev/null || true
  carry_pip_config

  local vars=("HOME=$HOME" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
              "CSDK_PYTHON=python$version" "PYTHON=python$version")
  local name
  while IFS= read -r name; do
    vars+=("$name=${!name}")
  done < <(compgen -e | grep -E '^(PIP_|CSDK_|PYTEST_ADDOPTS$|HYPOTHESIS_)' | grep -vE '^CSDK_(PYTHON|PYTHONS)$')
  local status=0
  chroot "$sysroot" env -i "${vars[@]}" bash -c 'cd "$1" && shift && exec "$@"' inner "$root" "$@" || status=$?
  unmount_all
  trap - EXIT INT TERM
  return $status
}

[[ $# -ge 1 ]] || usage
action=$1
shift
case $action in
  root)
    build_root
    exit 0
    ;;
  test | run)
    [[ $# -ge 1 ]] || usage
    version=$1
    shift
    [[ "$version" == 3.14 || "$version" == 3.15 ]] || { echo "no CPython $version in the root" >&2; exit 2; }
    ;;
  __inside)
    version=$1
    shift
    inside_root "$@"
    exit $?
    ;;
  *) usage ;;
esac

if [[ $(id -u) != 0 ]]; then
  echo "tools/newer_pythons.sh needs root (mmdebstrap, mount, chroot)" >&2
  exit 1
fi
build_root

if [[ $action == test ]]; then
  # The nox session tests-<version> of noxfile.py, the very step every other interpreter
  # runs: inside the root python<version> is the machine's own, so the session runs the
  # suite there. nox itself goes into an environment made with that interpreter.
  set -- bash -c 'nox=$(bash tools/lib.sh csdk_nox "$1" "$2") && shift 2 && exec "$nox" "$@"' nox \
    "${CSDK_WORK_DIR:-$root/.work}/venv-nox-sid-$version" "python$version" -s "tests-$version" -- "$@"
fi
# A private mount namespace: the mounts are not seen outside and vanish with it, however
# the run ends; concurrent runs on one root do not disturb each other.
if command -v unshare >/dev/null && unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private bash "${BASH_SOURCE[0]}" __inside "$version" "$@"
fi
inside_root "$@"
