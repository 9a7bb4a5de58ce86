#!/usr/bin/env bash
# Brings the FTP servers the test-suite runs against onto this machine.
#
# vsftpd, ProFTPD and Pure-FTPd conflict with one another as installed
# packages (each claims the ftp-server role), so their .deb files are only
# unpacked into a cache folder and run from there; what they link against is
# installed as ordinary packages.  pyftpdlib comes from PyPI.
#
# Idempotent: a second run finds everything in place and does no network work.
# Run as root.  Cache folder: $DRAVLEN_SERVER_CACHE, by default
# $HOME/.cache/dravlen-ftp-servers/<package>.
set -euo pipefail

CACHE="${DRAVLEN_SERVER_CACHE:-${HOME:-/root}/.cache/dravlen-ftp-servers}"
PYTHON="${PYTHON:-python3}"
PYFTPDLIB_VERSION="2.2.0"

# package -> the file that proves it was unpacked.  ProFTPD's TLS module
# (mod_tls) comes in a package of its own; vsftpd and Pure-FTPd have TLS
# built in.
declare -A BINARY=(
    [vsftpd]=usr/sbin/vsftpd
    [proftpd-core]=usr/sbin/proftpd
    [proftpd-mod-crypto]=usr/lib/proftpd/mod_tls.so
    [pure-ftpd]=usr/sbin/pure-ftpd
)
# Shared libraries the three binaries (and ProFTPD's modules) load.
LIBS=(libc6 libcap2 libcrypt1 libpam0g libpam-modules libssl3 libwrap0
      libacl1 libhiredis0.14 libidn2-0 libmemcached11 libmemcachedutil2
      libncursesw6 libtinfo6 libpcre2-8-0 libpcre2-posix3 zlib1g libsodium23)

export DEBIAN_FRONTEND=noninteractive
log() { printf 'servers.sh: %s\n' "$*" >&2; }

apt_updated=0
apt_update_once() {
    if [ "$apt_updated" = 0 ]; then
        log "apt-get update"
        apt-get update -qq
        apt_updated=1
    fi
}

# --- the servers' libraries ------------------------------------------------
missing_libs=()
for pkg in "${LIBS[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing_libs+=("$pkg")
    fi
done
if [ "${#missing_libs[@]}" -gt 0 ]; then
    # A fresh machine may have no package lists at all; refresh once and retry
    # if installing from the lists at hand fails.
    if ! apt-get install -y -qq --no-install-recommends "${missing_libs[@]}" >/dev/null 2>&1; then
        apt_update_once
        apt-get install -y -qq --no-install-recommends "${missing_libs[@]}"
    fi
fi

# --- the servers, unpacked ---------------------------------------------------
mkdir -p "$CACHE"
for pkg in "${!BINARY[@]}"; do
    dest="$CACHE/$pkg"
    if [ -e "$dest/${BINARY[$pkg]}" ]; then
        continue
    fi
    work="$(mktemp -d)"
    # apt drops privileges to _apt for the download; a folder it can write
    # into keeps it from warning about that.
    chmod 0777 "$work"
    log "fetching $pkg"
    if ! (cd "$work" && apt-get download -qq "$pkg" >/dev/null 2>&1); then
        apt_update_once
        (cd "$work" && apt-get download -qq "$pkg")
    fi
    rm -rf "$dest.partial"
    mkdir -p "$dest.partial"
    dpkg -x "$work"/"$pkg"_*.deb "$dest.partial"
    rm -rf "$dest" "$work"
    mv "$dest.partial" "$dest"
done

# Every ELF file unpacked must find its libraries.
broken=0
while IFS= read -r -d '' f; do
    if head -c 4 "$f" 2>/dev/null | grep -q 'ELF'; then
        if grep -q 'not found' <<<"$(ldd "$f" 2>/dev/null)"; then
            log "unresolved libraries in $f:"
            ldd "$f" | grep 'not found' >&2
            broken=1
        fi
    fi
done < <(find "$CACHE"/vsftpd "$CACHE"/proftpd-core "$CACHE"/proftpd-mod-crypto "$CACHE"/pure-ftpd \
             -type f \( -perm -u+x -o -name '*.so' \) -print0)
if [ "$broken" != 0 ]; then
    log "some unpacked server binaries cannot be run"
    exit 1
fi

# --- pyftpdlib -------------------------------------------------------------
have="$("$PYTHON" -c 'import pyftpdlib; print(pyftpdlib.__ver__)' 2>/dev/null || true)"
if [ "$have" != "$PYFTPDLIB_VERSION" ]; then
    log "pip install pyftpdlib==$PYFTPDLIB_VERSION"
    "$PYTHON" -m pip install -q --root-user-action=ignore "pyftpdlib==$PYFTPDLIB_VERSION"
fi

log "ready in $CACHE"
