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

python_311() {
  command -v python3.11 || command -v python3
}

# Creates (once) a virtual environment with the given NumPy requirement and
# the package installed from this checkout with its test extra; prints its path.
venv_for() {
  local numpy_req=$1 name
  case $numpy_req in *"<2"*) name=.venv-numpy1 ;; *) name=.venv ;; esac
  if [ ! -x "$name/bin/python" ]; then
    "$(python_311)" -m venv "$name" >&2
    "$name/bin/python" -m pip install -q --upgrade pip >&2
  fi
  "$name/bin/python" -m pip install -q "$numpy_req" >&2
  # Build against NumPy 2 headers in an isolated build environment, install
  # into this one with its own NumPy kept.
  "$name/bin/python" -m pip install -q ".[test]" "$numpy_req" >&2
  echo "$name"
}
