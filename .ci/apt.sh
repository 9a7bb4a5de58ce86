# Sourced by the CI jobs: apt_ensure PKG... installs the Debian packages that
# are not installed yet, refreshing the package lists once if that fails
# (a fresh machine may have none). Callers define log().
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
