# Installs the Debian packages named as arguments that are missing, with
# apt-get (as root or through sudo); without either, names them and fails.
# Sourced by scripts/test and scripts/demo.
install_missing_packages() {
  local missing=() p sudo
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" = 0 ]; then sudo=(); elif command -v sudo >/dev/null; then sudo=(sudo); else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
