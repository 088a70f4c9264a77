# Shared by the install steps, which source it: which Debian packages are
# missing, and the prefix that runs apt-get as root.
#   missing_packages NAME...  prints the names not installed, one per line
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
