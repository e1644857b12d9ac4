# Shared helpers of the scripts in this folder (sourced, not run).

# A failure inside $(...) stops the script as it would outside.
shopt -s inherit_errexit

step() { printf '\n== %s\n' "$*"; }

# The CPython minor versions the package supports, oldest first.
SUPPORTED_PYTHONS=(3.11 3.12 3.13)

# What building the package needs on Debian: a C++20 compiler, make and
# CMake, and the headers and venv support of Debian's python3 (pyenv's
# interpreters bring their own).
BUILD_PACKAGES=(g++ make cmake python3-dev python3-venv)

debian_package_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# apt-get as root: directly, or through sudo for another user.
as_root() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "error: '$*' needs root; run it as root, or install sudo" >&2
    return 1
  fi
}

# Refreshes the package lists once per run; the scripts started from this
# one inherit that it was done.
apt_update_once() {
  if [ -z "${NALO_APT_UPDATED:-}" ]; then
    as_root apt-get update -qq
    export NALO_APT_UPDATED=1
  fi
}

# Installs the Debian packages that are missing (needs root or sudo, as on
# the CI machines); does nothing when all are there.
ensure_debian_packages() {
  if ! command -v dpkg-query >/dev/null; then
    echo "note: not a Debian system: make sure these (or their equivalents) are installed: $*" >&2
    return 0
  fi
  local missing=() pkg
  for pkg in "$@"; do
    debian_package_installed "$pkg" || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  step "Installing ${missing[*]}"
  apt_update_once
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The interpreter of a CPython minor version ("3.12"): pyenv's newest
# release of it, else one on PATH; only one that runs (a pyenv shim for a
# version not selected does not) and can create virtual environments
# (Debian's needs python3-venv for that).
python_version() {
  local version=$1 candidate
  local -a candidates=()
  mapfile -t candidates < <(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".* 2>/dev/null |
    grep -E "/${version//./\\.}\.[0-9]+\$" | sort -rV | sed "s|\$|/bin/python$version|")
  candidates+=("$(command -v "python$version" || true)")
  for candidate in "${candidates[@]}"; do
    if [ -n "$candidate" ] && "$candidate" -c 'import ensurepip, venv' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  echo "no CPython $version found (in pyenv or on PATH)" >&2
  return 1
}

# The oldest supported CPython found: it builds the wheel and runs the main
# environment (.venv), the demo and the benchmark.
main_python() {
  local version
  for version in "${SUPPORTED_PYTHONS[@]}"; do
    python_version "$version" 2>/dev/null && return 0
  done
  echo "no supported CPython (${SUPPORTED_PYTHONS[*]}) found in pyenv or on PATH" >&2
  return 1
}

# Creates the virtual environment `name` for `python` with a current pip;
# makes it anew where it holds another Python version or is broken.
make_venv() {
  local name=$1 python=$2 wanted
  wanted=$("$python" -c 'import sys; print(sys.version_info[:2])')
  if [ "$("$name/bin/python" -c 'import sys; print(sys.version_info[:2])' 2>/dev/null)" != "$wanted" ]; then
    "$python" -m venv --clear "$name" >&2
    "$name/bin/python" -m pip install -q --upgrade pip >&2
  fi
}

# Builds the wheel from this checkout with `python` (NumPy 2 headers in an
# isolated build environment) into build/wheelhouse; prints its path.
build_wheel() {
  local python=$1 out=build/wheelhouse
  rm -rf "$out"
  make_venv .venv "$python"
  .venv/bin/python -m pip wheel -q --no-deps -w "$out" . >&2
  ls "$out"/nalo_limiter-*.whl
}

# What the test environments hold besides the package and NumPy: the test
# and command-line extras and what the examples use.
TEST_EXTRAS="test,cli"
EXAMPLE_PACKAGES=("dask[bag]" matplotlib pyloudnorm)

# Creates (once) the virtual environment `name` for `python`, installs
# `wheel` with the test extras, the examples' packages and the NumPy
# requirement; prints its path.
venv_with_wheel() {
  local name=$1 python=$2 wheel=$3 numpy_req=$4
  make_venv "$name" "$python"
  "$name/bin/python" -m pip install -q "$wheel[$TEST_EXTRAS]" "${EXAMPLE_PACKAGES[@]}" "$numpy_req" >&2
  # The same version number may stand for new code: always replace the package.
  "$name/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel" >&2
  echo "$name"
}

# The main development environment (.venv: the oldest CPython found, NumPy
# 2) with the package built from this checkout; prints its path.
venv_for() {
  local numpy_req=${1:-numpy>=2} python wheel
  python=$(main_python)
  wheel=$(build_wheel "$python")
  venv_with_wheel .venv "$python" "$wheel" "$numpy_req"
}

# A clang that links libFuzzer with AddressSanitizer and UBSan: Debian's
# default clang, and the compiler runtime package of its major version
# where that is separate from the compiler (libclang-rt-N-dev).
ensure_fuzzer_toolchain() {
  ensure_debian_packages clang
  fuzzer_links && return 0
  local runtime
  runtime="libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
  apt_update_once
  if apt-cache show "$runtime" >/dev/null 2>&1; then
    ensure_debian_packages "$runtime"
    fuzzer_links && return 0
  fi
  echo "error: clang $(clang -dumpversion) cannot link a libFuzzer target with ASan and UBSan" \
    "(no runtime found; tried the package $runtime)" >&2
  return 1
}

fuzzer_links() {
  local dir status=0
  dir=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$dir/t.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1 || status=1
  rm -rf "$dir"
  return "$status"
}
