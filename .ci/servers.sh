#!/usr/bin/env bash
# Brings the FTP servers the test-suite runs against onto this machine.
#
# vsftpd, ProFTPD, Pure-FTPd and GNU inetutils ftpd conflict with one another
# as installed packages (each claims the ftp-server role), so their .deb files
# are only unpacked into a cache folder and run from there; what they link
# against is installed as ordinary packages.  Debian's busybox binaries leave
# ftpd out, so BusyBox's ftpd (with ls, which it lists with) is built from
# Debian's busybox source package into busybox-ftpd/.  pyftpdlib, Twisted and
# aioftp come from PyPI.
#
# Idempotent: a second run finds everything in place and does no network work.
# Run as root.  Cache folder: $DRAVLEN_SERVER_CACHE, by default
# $HOME/.cache/dravlen-ftp-servers/<package>.
set -euo pipefail

CACHE="${DRAVLEN_SERVER_CACHE:-${HOME:-/root}/.cache/dravlen-ftp-servers}"
PYTHON="${PYTHON:-python3}"
PYFTPDLIB_VERSION="2.2.0"
TWISTED_VERSION="26.10.0"
AIOFTP_VERSION="0.28.3"

# package -> the file that proves it was unpacked.  ProFTPD's TLS module
# (mod_tls) comes in a package of its own; vsftpd and Pure-FTPd have TLS
# built in.
declare -A BINARY=(
    [vsftpd]=usr/sbin/vsftpd
    [proftpd-core]=usr/sbin/proftpd
    [proftpd-mod-crypto]=usr/lib/proftpd/mod_tls.so
    [pure-ftpd]=usr/sbin/pure-ftpd
    [inetutils-ftpd]=usr/sbin/ftpd
)
# Shared libraries the binaries (and ProFTPD's modules) load, and what
# builds BusyBox's ftpd.
LIBS=(libc6 libcap2 libcrypt1 libpam0g libpam-modules libssl3 libwrap0
      libacl1 libhiredis0.14 libidn2-0 libmemcached11 libmemcachedutil2
      libncursesw6 libtinfo6 libpcre2-8-0 libpcre2-posix3 zlib1g libsodium23
      libcrypt-dev gcc make patch bzip2 xz-utils)

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
installed="$(dpkg-query -W -f='${Package} ${Status}\n' "${LIBS[@]}" 2>/dev/null || true)"
for pkg in "${LIBS[@]}"; do
    if ! grep -qxF "$pkg install ok installed" <<<"$installed"; then
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

# --- BusyBox's ftpd, built from Debian's source --------------------------------
# A minimal build: ftpd (with writing and logins), ls for its listings.
# Passwords are checked with the system's crypt(3) (BusyBox's own knows no
# yescrypt, the hash Debian's chpasswd writes).
BUSYBOX_OPTIONS=(FTPD FEATURE_FTPD_WRITE FEATURE_FTPD_ACCEPT_BROKEN_LIST
                 FEATURE_FTPD_AUTHENTICATION LS FEATURE_LS_FILETYPES
                 FEATURE_LS_FOLLOWLINKS FEATURE_LS_SORTFILES FEATURE_LS_TIMESTAMPS
                 FEATURE_LS_USERNAME FEATURE_SHADOWPASSWDS LFS)
dest="$CACHE/busybox-ftpd"
if ! [ -x "$dest/bin/busybox" ]; then
    work="$(mktemp -d)"
    chmod 0777 "$work"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
    chmod -R 0777 "$work"
    # The source index of the Debian archives this machine installs from,
    # read into a folder of its own: the machine's lists stay as they are.
    targets() {
        apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
            'Identifier: Packages' 'Origin: Debian' | sort -u
    }
    if [ -z "$(targets)" ]; then apt_update_once; fi
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    signed=""
    if [ -r "$keyring" ]; then signed="[signed-by=$keyring] "; fi
    targets | while read -r uri release component; do
        echo "deb-src $signed$uri $release $component"
    done >"$work/sources.list"
    if ! [ -s "$work/sources.list" ]; then
        log "no Debian archive among apt's sources: cannot fetch busybox's source"
        exit 1
    fi
    apt_src=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=-
             -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
    log "fetching busybox's source"
    apt-get "${apt_src[@]}" update -qq
    (cd "$work/src" && apt-get "${apt_src[@]}" source --download-only -qq busybox >/dev/null)
    tar -xf "$work"/src/busybox_*.orig.tar.* -C "$work"
    tar -xf "$work"/src/busybox_*.debian.tar.* -C "$work"
    tree=$(echo "$work"/busybox-*/)
    grep -v '^#' "$work/debian/patches/series" | while read -r p; do
        if [ -n "$p" ]; then patch -d "$tree" -p1 -s <"$work/debian/patches/$p"; fi
    done
    log "building busybox's ftpd"
    make -C "$tree" -s allnoconfig >/dev/null
    for opt in "${BUSYBOX_OPTIONS[@]}"; do
        sed -i "s/^# CONFIG_$opt is not set\$/CONFIG_$opt=y/" "$tree/.config"
    done
    { yes "" || true; } | make -C "$tree" -s oldconfig >/dev/null
    for opt in "${BUSYBOX_OPTIONS[@]}"; do
        grep -qx "CONFIG_$opt=y" "$tree/.config" || { log "busybox: CONFIG_$opt not set"; exit 1; }
    done
    make -C "$tree" -s -j"$(nproc)" busybox >"$work/build.log" 2>&1 \
        || { tail -30 "$work/build.log" >&2; exit 1; }
    rm -rf "$dest.partial"
    mkdir -p "$dest.partial/bin"
    cp "$tree/busybox" "$dest.partial/bin/busybox"
    rm -rf "$dest" "$work"
    mv "$dest.partial" "$dest"
fi

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
             "$CACHE"/inetutils-ftpd "$CACHE"/busybox-ftpd \
             -type f \( -perm -u+x -o -name '*.so' \) -print0)
if [ "$broken" != 0 ]; then
    log "some unpacked server binaries cannot be run"
    exit 1
fi

# --- pyftpdlib, Twisted, aioftp ----------------------------------------------
# Each at its pinned version in $PYTHON's environment (one look for all three).
wanted=("pyftpdlib==$PYFTPDLIB_VERSION" "twisted==$TWISTED_VERSION" "aioftp==$AIOFTP_VERSION")
have="$("$PYTHON" -c 'import importlib.metadata as m, sys
for want in sys.argv[1:]:
    name = want.split("==")[0]
    try:
        print(f"{name}=={m.version(name)}")
    except m.PackageNotFoundError:
        pass' "${wanted[@]}" 2>/dev/null || true)"
missing=()
for want in "${wanted[@]}"; do
    grep -qxF "$want" <<<"$have" || missing+=("$want")
done
if [ "${#missing[@]}" -gt 0 ]; then
    log "pip install ${missing[*]}"
    "$PYTHON" -m pip install -q --root-user-action=ignore "${missing[@]}"
fi

log "ready in $CACHE"
