# Sourced by the CI jobs. Callers define log().
#
# apt_ensure PKG... installs the Debian packages that are not installed yet,
# refreshing the package lists once if that fails (a fresh machine may have none).
apt_updated=0
apt_ensure() {
    local missing=() pkg
    for pkg in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$pkg")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    log "apt-get install ${missing[*]}"
    if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
        [ "$apt_updated" = 1 ] || { log "apt-get update"; apt-get update -qq; apt_updated=1; }
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# tool NAME DIRATTR prints the path of a build tool (cmake, ninja): the
# machine's, else the one of the PyPI package of that name.
tool() {
    local name=$1
    if command -v "$name" >/dev/null 2>&1; then command -v "$name"; return; fi
    python3 -c "import $name" 2>/dev/null || python3 -m pip install -q "$name" >&2
    python3 -c "import $name, os; print(os.path.join($name.$2, '$name'))"
}
