#!/usr/bin/env bash
# Reference-count check of dravlen.ftp.path: builds the extension for
# Debian's debug interpreter (python3.11-dbg) and runs tests/refloop.py there,
# which loops over every FTPPath member against pyftpdlib on loopback and
# fails when sys.gettotalrefcount() grows at steady state.
#
#   bash .ci/refcount.sh [refloop.py options, e.g. --per-member 100]
#
# Idempotent; installs what it needs (as root).  Everything it makes lives in
# build/dbg: the CMake build, and site/ with the pure-Python package, the
# debug .so and pyftpdlib, so the normal build is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
DBG=/usr/bin/python3.11-dbg
BUILD=build/dbg
SITE=$BUILD/site
DEPS=$BUILD/deps
PYFTPDLIB_VERSION=2.2.0
log() { printf 'refcount.sh: %s\n' "$*" >&2; }

# --- the debug interpreter, its headers, a compiler ----------------------------
source .ci/common.sh
apt_ensure python3.11-dbg python3.11-dev g++ binutils

CMAKE=$(tool cmake CMAKE_BIN_DIR)
NINJA=$(tool ninja BIN_DIR 2>/dev/null || true)

# --- the build -----------------------------------------------------------------
# Debian's /usr/include/python3.11d holds its own pyconfig.h but only symlinks
# to the release headers otherwise; GCC resolves Python.h's #include
# "pyconfig.h" next to the symlink's target, so a plain build against the
# debug interpreter gets the release configuration: no Py_DEBUG, and every
# reference the module drops goes uncounted, which gettotalrefcount() then
# shows as growth.  Including the debug pyconfig.h first settles the
# configuration (both share one include guard).
CONFIG_H=$("$DBG" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')
configure() {
    local generator=()
    [ -n "$NINJA" ] && generator=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$NINJA")
    "$CMAKE" -S . -B "$BUILD" "${generator[@]}" -DPython_EXECUTABLE="$DBG" -DDRAVLEN_WERROR=ON \
        -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-include $CONFIG_H" >/dev/null
}
# Which sources were checked: the figures belong to them.
log "sources: src/native $(find src/native -type f | sort | xargs cat | sha256sum | cut -c1-12), src/dravlen $(find src/dravlen -name '*.py' | sort | xargs cat | sha256sum | cut -c1-12)"
log "building for $DBG"
if ! configure 2>/dev/null; then
    # A cache from another generator or a moved tree: start that build afresh.
    rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
    configure
fi
"$CMAKE" --build "$BUILD" -j 2 >/dev/null
suffix=$("$DBG" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
so="$BUILD/path$suffix"
[ -f "$so" ] || { log "no $so after the build"; exit 1; }
# A module built with Py_REF_DEBUG updates _Py_RefTotal on every reference it
# takes or drops; without that symbol the figures below would mean nothing.
if ! grep -qw _Py_RefTotal <<<"$(nm -D --undefined-only "$so")"; then
    log "$so was not built with Py_REF_DEBUG: its references would go uncounted"
    exit 1
fi

# --- the temporary install -------------------------------------------------------
rm -rf "$SITE"
mkdir -p "$SITE"
cp -r src/dravlen "$SITE/"
find "$SITE" -name '__pycache__' -prune -exec rm -rf {} +
find "$SITE" -name '*.so' -delete  # the debug interpreter would also load a release build
cp "$so" "$SITE/dravlen/ftp/"
if ! PYTHONPATH="$DEPS" "$DBG" -c "import pyftpdlib, sys; sys.exit(pyftpdlib.__ver__ != '$PYFTPDLIB_VERSION')" 2>/dev/null; then
    # pyftpdlib is pure Python: the normal interpreter's pip installs it for the debug one.
    log "pip install --target $DEPS pyftpdlib==$PYFTPDLIB_VERSION"
    rm -rf "$DEPS"
    python3 -m pip install -q --no-deps --target "$DEPS" "pyftpdlib==$PYFTPDLIB_VERSION"
fi
export PYTHONPATH="$PWD/$SITE:$PWD/$DEPS"
unset DRAVLEN_CONFIG
"$DBG" -c "import dravlen.ftp.path as m, sys; sys.exit(not m.__file__.endswith('$suffix'))"
built=$(date +%s)
log "built and installed in $((built - start)) s"

# --- the check of the check: a planted leak must be reported ----------------------
set +e
canary=$("$DBG" -W ignore::DeprecationWarning tests/refloop.py --canary --only canary --only interrupt \
             --iterations 3 --warmup 1 --per-member 5 2>&1)
status=$?
set -e
if [ "$status" != 1 ] || ! grep -q 'canary.*LEAKS' <<<"$canary"; then
    printf '%s\n' "$canary" >&2
    log "a case that leaks one reference per call was not reported (status $status)"
    exit 1
fi
log "a planted leak of one reference per call is reported"

# --- the loop --------------------------------------------------------------------
set +e
"$DBG" -W ignore::DeprecationWarning tests/refloop.py "$@"
status=$?
set -e
log "refloop took $(( $(date +%s) - built )) s; all in $(( $(date +%s) - start )) s"
exit "$status"
