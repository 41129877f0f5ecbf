# Sourced by the scripts: makes sure the Debian packages a build needs are installed.

# The packages every build of Tessel needs.
TESSEL_PACKAGES=(
  cmake ninja-build g++ pkg-config python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libdeflate-dev libspng-dev librsvg2-dev libcairo2-dev libseccomp-dev
  fonts-dejavu-core
  clang libclang-rt-dev
  # The package checks: dpkg-shlibdeps and file for cpack, make for the pkg-config example.
  dpkg-dev file make
)

# ensure_packages PACKAGE...: installs the missing ones when running as root; otherwise prints the
# exact command to run and fails.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing missing Debian packages: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}
