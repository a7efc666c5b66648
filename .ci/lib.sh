# Shared by the CI stages: retries, host packages, and Debian roots cached outside the clone.
# Sourced, not run.

QUOR_CI_CACHE="${QUOR_CI_CACHE:-/var/cache/quor-ci}"

# retry CMD...: network steps fail now and then; four tries, waiting longer each time.
retry() {
  local n=1
  until "$@"; do
    if [ "$n" -ge 4 ]; then
      echo "failed after $n tries: $*" >&2
      return 1
    fi
    echo "retrying in $((n * 15)) s: $*" >&2
    sleep "$((n * 15))"
    n=$((n + 1))
  done
}

apt_updated=""
# need_host_packages PKG...: installs those of PKG that are missing on this machine.
need_host_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ -z "$apt_updated" ]; then
    retry apt-get update -qq
    apt_updated=1
  fi
  retry env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Debian mirror this machine's own apt sources name.
debian_mirror() {
  local uri
  uri="$( (grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}';
           grep -hs '^deb ' /etc/apt/sources.list | awk '{print $2}') | grep -v security | head -n1)"
  echo "${uri:-http://deb.debian.org/debian}"
}

# Runs a command inside root $1 with a clean environment: this machine's pip settings
# (find-links, constraints) must not leak in.
in_root() {
  local root="$1"
  shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# Mounts what a root needs, idempotently. The root keeps its own /dev nodes (made by
# debootstrap): this machine's /dev is never bound into it.
root_mount() {
  local root="$1"
  mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
  mkdir -p "$root/dev/shm"
  mountpoint -q "$root/dev/shm" || mount -t tmpfs -o size=4g tmpfs "$root/dev/shm"
}

# Unmounts everything below root $1, deepest first, and fails if anything is left.
root_umount() {
  local root
  root="$(realpath -m "$1")"
  findmnt -rn -o TARGET | grep -F "$root/" | sort -r | xargs -r -n1 umount -l || true
  if findmnt -rn -o TARGET | grep -qF "$root/"; then
    echo "mounts remain below $root" >&2
    return 1
  fi
}

# Deletes root $1, only once nothing is mounted inside it.
root_delete() {
  local root="$1"
  [ -e "$root" ] || return 0
  # Explicit: under `set -e` a failure inside a function called from a condition would
  # not stop it, and a mount left inside would take this machine's files with it.
  root_umount "$root" || return 1
  rm -rf --one-file-system "$root"
}

# The binfmt handler that lets this machine run aarch64 binaries (qemu user emulation).
enable_arm64_emulation() {
  need_host_packages qemu-user-static binfmt-support
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --import qemu-aarch64
  grep -q enabled /proc/sys/fs/binfmt_misc/qemu-aarch64
}

# ensure_root NAME ARCH SUITE "DEB PACKAGES" "PIP PACKAGES" ["PYTHONS"]: a Debian root at
# $QUOR_CI_CACHE/NAME with those packages and, for each interpreter of PYTHONS (python3 by
# default), a venv holding the pip packages (see root_venv).
# Reused while its recipe is unchanged; otherwise (or when absent or half-built) made anew.
# Stages may ask for the same root at once: one builds it, the others wait for it.
ensure_root() {
  mkdir -p "$QUOR_CI_CACHE"
  local lock
  exec {lock}>"$QUOR_CI_CACHE/$1.lock"
  flock "$lock"
  ensure_root_locked "$@"
  exec {lock}>&-
}

ensure_root_locked() {
  local name="$1" arch="$2" suite="$3" debs="$4" pips="$5" pythons="${6:-python3}"
  local root="$QUOR_CI_CACHE/$name"
  local recipe="$arch $suite | $debs | $pips"
  [ "$pythons" = python3 ] || recipe="$recipe | $pythons"
  if [ -f "$root/.quor-ci-recipe" ] && [ "$(cat "$root/.quor-ci-recipe")" = "$recipe" ]; then
    return 0
  fi
  echo "building root $root ($arch $suite)"
  root_delete "$root" || return 1  # a half-built or outdated one
  need_host_packages debootstrap ca-certificates
  mkdir -p "$QUOR_CI_CACHE"
  local mirror
  mirror="$(debian_mirror)"
  local tries=1
  until debootstrap --arch="$arch" --variant=minbase "$suite" "$root" "$mirror" >"$QUOR_CI_CACHE/$name.debootstrap.log" 2>&1; do
    root_delete "$root" || return 1
    if [ "$tries" -ge 3 ]; then
      tail -n 20 "$QUOR_CI_CACHE/$name.debootstrap.log" >&2
      return 1
    fi
    sleep "$((tries * 15))"
    tries=$((tries + 1))
  done
  echo "deb $mirror $suite main" >"$root/etc/apt/sources.list"
  # sid's Release files are older than apt accepts by default.
  [ "$suite" != sid ] || echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99quor-ci"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  root_mount "$root"
  # shellcheck disable=SC2086
  retry in_root "$root" sh -c "DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $debs >/dev/null"
  # pip inside the root trusts only its own bundle; this machine's may name extra CAs.
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  local python venv
  for python in $pythons; do
    venv="$(root_venv "$python")"
    in_root "$root" "$python" -m venv "$venv"
    # shellcheck disable=SC2086
    retry in_root "$root" "$venv/bin/python" -m pip install --quiet --upgrade pip $pips
  done
  root_umount "$root"
  echo "$recipe" >"$root/.quor-ci-recipe"
}

# root_venv PYTHON: the venv of that interpreter inside a root: /root/venv for python3,
# /root/venv3.14 for python3.14.
root_venv() {
  if [ "$1" = python3 ]; then echo /root/venv; else echo "/root/venv${1#python}"; fi
}

# Copies the committed state of this clone (what CI sees) into root $1 at /root/src, and the
# benchmark corpora where the tests look for them (beside the clone).
copy_tree_into_root() {
  local root="$1"
  rm -rf --one-file-system "$root/root/src"
  mkdir -p "$root/root/src"
  if git rev-parse --git-dir >/dev/null 2>&1; then
    git archive HEAD | tar -x -C "$root/root/src"
  else
    tar -c --exclude=.git . | tar -x -C "$root/root/src"
  fi
  if [ -d ../shared/data/json ]; then
    mkdir -p "$root/shared/data"
    rm -rf --one-file-system "$root/shared/data/json"
    cp -r ../shared/data/json "$root/shared/data/json"
  fi
}

# The requirements of the project's extras named in $@ (from pyproject.toml), one a line.
project_requirements() {
  python3 - "$@" <<'PY'
import sys, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
print("\n".join(r for name in sys.argv[1:] for r in extras[name]))
PY
}

# fresh_venv DIR: a new virtual environment at DIR with an up-to-date pip, activated.
fresh_venv() {
  python3 -m venv "$1"
  # shellcheck disable=SC1091
  . "$1/bin/activate"
  retry python -m pip install --quiet --upgrade pip
}

# sanitized CMD...: runs CMD under AddressSanitizer and UndefinedBehaviorSanitizer, as the
# QUOR_SANITIZE build needs; any report ends it with an error. libstdc++ is preloaded beside
# the sanitizer runtime, which otherwise cannot find the real __cxa_throw when the module is
# loaded later, and aborts on the first C++ throw.
sanitized() {
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$@"
}

# wheel_suite_in_root ROOT WHEEL PYTHON...: the wheel installed unchanged into the venv of
# each interpreter (python3.X) in ROOT, and the whole suite run there from the clone's
# committed state.
wheel_suite_in_root() {
  local root="$1" wheel="$2" python
  shift 2
  root_mount "$root"
  copy_tree_into_root "$root"
  rm -rf --one-file-system "$root/root/wheel" && mkdir -p "$root/root/wheel"
  cp "$wheel" "$root/root/wheel/"
  for python in "$@"; do
    echo "$python: $(in_root "$root" "$python" --version)"
    in_root "$root" bash -euo pipefail -c '
      . "$1/bin/activate"
      python -c "import sys; assert \"%d.%d\" % sys.version_info[:2] == \"$2\", sys.version"
      python -m pip install --quiet --force-reinstall --no-deps /root/wheel/*.whl
      cd /root/src
      python -m pytest -q -p no:cacheprovider
    ' wheel-suite "$(root_venv "$python")" "${python#python}"
  done
}

# The wheel that .ci/release builds with CPython 3.11: from QUOR_WHEELHOUSE, or built first.
release_wheel() {
  if [ -z "${QUOR_WHEELHOUSE:-}" ] || ! ls "$QUOR_WHEELHOUSE"/quor_core-*-cp311-abi3-*.whl >/dev/null 2>&1; then
    QUOR_WHEELHOUSE="$(mktemp -d)"
    export QUOR_WHEELHOUSE
    bash .ci/release >&2
  fi
  ls "$QUOR_WHEELHOUSE"/quor_core-*-cp311-abi3-*.whl | head -n1
}

# The roots the stages use; their recipes are here so that a root can be prepared ahead.
ARM64_ROOT="$QUOR_CI_CACHE/arm64-bookworm"
TRIXIE_ROOT="$QUOR_CI_CACHE/amd64-trixie"
SID_ROOT="$QUOR_CI_CACHE/amd64-sid"
# Everything the whole suite needs, so that no test skips for want of a package.
TEST_PIPS="$(project_requirements test dask | paste -sd ' ')"

ensure_arm64_root() {
  enable_arm64_emulation
  ensure_root arm64-bookworm arm64 bookworm \
    "python3 python3-venv python3-dev g++ cmake ninja-build make ca-certificates" \
    "scikit-build-core>=0.10 $TEST_PIPS"
}

TRIXIE_PYTHONS="python3.13"
ensure_trixie_root() {
  ensure_root amd64-trixie amd64 trixie "python3 python3-venv ca-certificates" "$TEST_PIPS" \
    "$TRIXIE_PYTHONS"
}

# Debian sid carries the newest CPythons side by side.
SID_PYTHONS="python3.14 python3.15"
ensure_sid_root() {
  ensure_root amd64-sid amd64 sid \
    "python3.14 python3.14-venv python3.15 python3.15-venv ca-certificates" "$TEST_PIPS" "$SID_PYTHONS"
}
