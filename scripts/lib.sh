# Shared helpers of the scripts in this folder (sourced, not run).

step() { printf '\n== %s\n' "$*"; }

# Installs Debian packages that are missing (needs root, as on the CI machines).
ensure_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    step "Installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# The interpreter of a CPython minor version ("3.12"): pyenv's, else one on
# PATH that runs (a pyenv shim for a version not selected does not).
python_version() {
  local version=$1 found
  found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$found" ] && command -v "python$version" >/dev/null && "python$version" -c '' 2>/dev/null; then
    found=$(command -v "python$version")
  fi
  [ -n "$found" ] || { echo "no CPython $version found (in pyenv or on PATH)" >&2; return 1; }
  echo "$found"
}

python_311() {
  python_version 3.11 2>/dev/null || command -v python3
}

# Builds the wheel from this checkout (once per call; NumPy 2 headers in an
# isolated build environment) into build/wheelhouse; prints its path.
build_wheel() {
  local out=build/wheelhouse
  rm -rf "$out"
  "$(python_311)" -m pip wheel -q --no-deps -w "$out" . >&2
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
  if [ ! -x "$name/bin/python" ]; then
    "$python" -m venv "$name" >&2
    "$name/bin/python" -m pip install -q --upgrade pip >&2
  fi
  "$name/bin/python" -m pip install -q "$wheel[$TEST_EXTRAS]" "${EXAMPLE_PACKAGES[@]}" "$numpy_req" >&2
  # The same version number may stand for new code: always replace the package.
  "$name/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel" >&2
  echo "$name"
}

# The main development environment (.venv: CPython 3.11, NumPy 2) with the
# package built from this checkout; prints its path.
venv_for() {
  local numpy_req=${1:-numpy>=2}
  venv_with_wheel .venv "$(python_311)" "$(build_wheel)" "$numpy_req"
}
