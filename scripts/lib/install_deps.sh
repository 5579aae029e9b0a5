# Sourced by the scripts that build the project: installs Debian packages that are missing.
# Runs apt-get (as root, or through sudo) only when a package is absent, and refreshes the
# package lists once, first.

# The packages every build needs: compiler, build tools, GoogleTest and Google Benchmark, the
# libraries (and a font) the adapter tests put under the budget, and gnuplot for memmgr-run's
# charts.
MEMMGR_BUILD_PACKAGES=(cmake make g++ libgtest-dev libbenchmark-dev
  libsqlite3-dev zlib1g-dev libpng-dev libfreetype-dev fonts-dejavu-core gnuplot-nox)

memmgr_package_missing() {
  [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" != "install ok installed" ]]
}

# memmgr_install_packages <package>...
memmgr_install_packages() {
  local missing=() package
  for package in "$@"; do
    if memmgr_package_missing "$package"; then missing+=("$package"); fi
  done
  ((${#missing[@]})) || return 0
  local sudo=()
  if [[ "$(id -u)" -ne 0 ]]; then sudo=(sudo); fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
