#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer run of dravlen.ftp.path:
# builds the extension with -DDRAVLEN_SANITIZE=address,undefined for the
# normal interpreter, installs it into build/asan/site (the package's Python
# side plus the sanitized .so; the normal build is left alone), then runs
# tests/refloop.py (every member down every path, a few rounds) and the
# test-suite under the sanitizer runtimes.
#
#   bash .ci/sanitize.sh [pytest arguments, default: the whole of tests/]
#   SANITIZE_SKIP_PYTEST=1 bash .ci/sanitize.sh   # refloop only
#
# Exits non-zero on any sanitizer report (printed with its stack), a failed
# refloop check, or a test that fails under the sanitizers but passes without
# them.  Tests that fail either way are listed but are no finding of this
# run (SANITIZE_STRICT=1 fails on them too); telling the two apart costs one
# more build without sanitizers, made only when something failed.
# Idempotent; installs what it needs (as root).
#
# Settings, and why:
# * PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees every
#   object the module reads or writes after it was freed, or past its end.
# * LD_PRELOAD of gcc's libasan and libubsan: the interpreter is not built
#   with them, and the ASan runtime must be loaded before anything else
#   (libcrypt too, see CRYPT_LIB).
# * LeakSanitizer (ASAN_OPTIONS detect_leaks) is on for refloop and off for
#   pytest.  refloop is one Python process, and this interpreter leaves no
#   unreachable block at its exit, so any report there is real (a planted
#   leak checks that it is seen).  The test-suite starts shells and other
#   programs (the servers' wrappers below, setfacl, ...) that the sanitizer
#   runtime is preloaded into too, and their exit-time leaks are not ours.
#   The module itself allocates nothing outside Python objects, whose leaks
#   .ci/refcount.sh counts exactly.
# * UBSAN_OPTIONS halt_on_error=1:print_stacktrace=1: the first undefined
#   behaviour stops the run, with its stack.
# * log_path for both: pytest captures descriptor 2, and a report written
#   there by a process that then exits would be lost with the capture; and
#   exitcode=86, so that a process the sanitizers stopped is told from a test
#   run that merely failed.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
PYTHON=$(python3 -c 'import sys; print(sys.executable)')
BUILD=$PWD/build/asan
SITE=$BUILD/site
LOGS=$BUILD/reports
log() { printf 'sanitize.sh: %s\n' "$*" >&2; }

# --- compiler and sanitizer runtimes ------------------------------------------------
source .ci/common.sh
apt_ensure g++ libasan8 libubsan1 binutils
ASAN_LIB=$(readlink -f "$(g++ -print-file-name=libasan.so)")
UBSAN_LIB=$(readlink -f "$(g++ -print-file-name=libubsan.so)")
# ASan binds its crypt() interceptor to the real function when it starts; if
# libcrypt only comes later (with the crypt module, which pyftpdlib imports),
# the interceptor calls a null pointer.  Loaded up front, it is found.
# awk reads to the end: leaving early would end ldconfig with SIGPIPE, which
# pipefail turns into a failed job.
CRYPT_LIB=$(ldconfig -p | awk '$1 == "libcrypt.so.1" && /x86-64/ && !found {print $NF; found = 1}')
for lib in "$ASAN_LIB" "$UBSAN_LIB" "$CRYPT_LIB"; do
    [ -f "$lib" ] || { log "no runtime library at '$lib'"; exit 1; }
done

CMAKE=$(tool cmake CMAKE_BIN_DIR)
NINJA=$(tool ninja BIN_DIR 2>/dev/null || true)

# What the tests import besides the package.
if ! python3 -c 'import pytest, hypothesis, pyftpdlib, OpenSSL, cryptography' 2>/dev/null; then
    log "pip install pytest hypothesis pyftpdlib pyopenssl cryptography"
    python3 -m pip install -q 'pytest>=7' 'hypothesis>=6' 'pyftpdlib>=1.5' 'pyopenssl>=23' 'cryptography>=41'
fi

# --- builds and their temporary installs ---------------------------------------------------
suffix=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
# build DIR SITE CMAKE-OPTIONS...: the extension built in DIR, installed with
# the package's Python side into SITE.
build() {
    local dir=$1 site=$2
    shift 2
    local generator=()
    [ -n "$NINJA" ] && generator=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$NINJA")
    local configure=("$CMAKE" -S . -B "$dir" "${generator[@]}" -DPython_EXECUTABLE="$PYTHON" -DDRAVLEN_WERROR=ON "$@")
    if ! "${configure[@]}" >/dev/null 2>&1; then
        # A cache from another generator or a moved tree: start that build afresh.
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
        "${configure[@]}" >/dev/null
    fi
    "$CMAKE" --build "$dir" -j 2 >/dev/null
    [ -f "$dir/path$suffix" ] || { log "no $dir/path$suffix after the build"; exit 1; }
    rm -rf "$site"
    mkdir -p "$site"
    cp -r src/dravlen "$site/"
    find "$site" -name '__pycache__' -prune -exec rm -rf {} +
    find "$site" -name '*.so' -delete
    cp "$dir/path$suffix" "$site/dravlen/ftp/"
}

# Which sources were checked: the figures belong to them.
log "sources: src/native $(find src/native -type f | sort | xargs cat | sha256sum | cut -c1-12), src/dravlen $(find src/dravlen -name '*.py' | sort | xargs cat | sha256sum | cut -c1-12)"
log "building with -fsanitize=address,undefined for $PYTHON"
# -O1 keeps ASan's stacks whole (CMakeLists adds -fno-omit-frame-pointer).
build "$BUILD/build" "$SITE" -DDRAVLEN_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1
so="$SITE/dravlen/ftp/path$suffix"
symbols=$(nm -D --undefined-only "$so")
for symbol in '__asan_init' '__ubsan_handle_[a-z_0-9]*'; do
    grep -qw "$symbol" <<<"$symbols" || { log "$so calls no $symbol"; exit 1; }
done
log "built and installed into $SITE in $(( $(date +%s) - start )) s"

# The compiled FTP servers (Debian's, and BusyBox's built by servers.sh) run
# from a mirror of the server cache whose programs drop the sanitizer
# settings before they start: they are not ours to check, and vsftpd limits
# its address space below what ASan's shadow memory takes.  Every package of
# the cache is mirrored, so that a server added there is found here too.
# The Python servers (pyftpdlib, Twisted, aioftp) and every other Python
# process keep them.
if [ "${SANITIZE_SKIP_PYTEST:-0}" != 1 ]; then
    bash .ci/servers.sh
    cache="${DRAVLEN_SERVER_CACHE:-$HOME/.cache/dravlen-ftp-servers}"
    mirror=$BUILD/servers
    rm -rf "$mirror"
    mkdir -p "$mirror"
    for dir in "$cache"/*/; do
        pkg=$(basename "$dir")
        case $pkg in *.partial) continue ;; esac  # one servers.sh left unfinished
        cp -as "$(readlink -f "$dir")" "$mirror/$pkg"
        for program in "$mirror/$pkg"/usr/sbin/* "$mirror/$pkg"/usr/bin/* "$mirror/$pkg"/bin/*; do
            [ -L "$program" ] || continue
            real=$(readlink -f "$program")
            [ "$(head -c 4 "$real" | tail -c 3)" = ELF ] || continue
            rm "$program"
            printf '#!/bin/sh\nunset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS UBSAN_OPTIONS\nexec %q "$@"\n' "$real" >"$program"
            chmod 0755 "$program"
        done
    done
fi

# A pytest plugin that notes the node id of every failed test and collection.
mkdir -p "$BUILD/plugin"
cat >"$BUILD/plugin/dravlen_failures.py" <<'EOF'
import os


def _note(report):
    if report.failed:
        with open(os.environ["DRAVLEN_FAILURES"], "a", encoding="utf-8") as out:
            out.write(report.nodeid + "\n")


pytest_runtest_logreport = _note
pytest_collectreport = _note
EOF

rm -rf "$LOGS"
mkdir -p "$LOGS"
LEAKS=0
sanitized() {
    env PYTHONPATH="$SITE:$BUILD/plugin${PYTHONPATH:+:$PYTHONPATH}" PYTHONMALLOC=malloc \
        LD_PRELOAD="$ASAN_LIB $UBSAN_LIB $CRYPT_LIB" \
        ASAN_OPTIONS="detect_leaks=$LEAKS:exitcode=86:log_path=$LOGS/asan:strip_path_prefix=$PWD/" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$LOGS/ubsan:strip_path_prefix=$PWD/" \
        DRAVLEN_SERVER_CACHE="$BUILD/servers" \
        "$@"
}
reports() { find "$LOGS" -type f -name '*san.*' | sort; }

# --- the check of the check: a planted overflow must be reported -----------------------------
sanitized "$PYTHON" -c 'import ctypes; b = ctypes.create_string_buffer(32); ctypes.memmove(b, b"x" * 64, 64)' \
    >/dev/null 2>&1 && { log "a planted heap overflow ran without a report"; exit 1; }
if ! reports | xargs -r grep -l 'heap-buffer-overflow' >/dev/null 2>&1; then
    log "a planted heap overflow left no ASan report in $LOGS"
    exit 1
fi
rm -f "$LOGS"/*
log "a planted heap overflow is reported"
LEAKS=1 sanitized "$PYTHON" -c 'import ctypes
malloc = ctypes.CDLL(None).malloc
malloc.restype = ctypes.c_void_p
ctypes.memset(malloc(4096), 0, 4096)' >/dev/null 2>&1 && { log "a planted leak ran without a report"; exit 1; }
if ! reports | xargs -r grep -l '4096 byte(s) leaked' >/dev/null 2>&1; then
    log "a planted leak left no LeakSanitizer report in $LOGS"
    exit 1
fi
rm -f "$LOGS"/*
log "a planted leak is reported"

# The sanitized module, not an installed build, must be the one imported.
sanitized "$PYTHON" -c "import dravlen.ftp.path as m, sys; sys.exit(not m.__file__.startswith('$SITE/'))" \
    || { log "dravlen.ftp.path is not imported from $SITE"; exit 1; }

failed=0
unset DRAVLEN_CONFIG

t0=$(date +%s)
log "== refloop"
# An address of its own: .ci/run may run .ci/refcount.sh's refloop (on
# 127.0.77.1, the default) at the same time.
if ! LEAKS=1 sanitized "$PYTHON" -W ignore::DeprecationWarning tests/refloop.py --rounds 20 --host 127.0.77.2; then
    failed=1
fi
log "refloop: $(( $(date +%s) - t0 )) s"

if [ "${SANITIZE_SKIP_PYTEST:-0}" != 1 ]; then
    pytest=("$PYTHON" -m pytest -q -p no:cacheprovider -p dravlen_failures --rootdir "$PWD" -c "$PWD/pyproject.toml")
    [ "$#" -gt 0 ] || set -- "$PWD/tests"
    t0=$(date +%s)
    log "== pytest $*"
    : >"$BUILD/failed-sanitized"
    set +e
    sanitized env DRAVLEN_FAILURES="$BUILD/failed-sanitized" "${pytest[@]}" "$@"
    status=$?
    set -e
    log "pytest: exit status $status in $(( $(date +%s) - t0 )) s"
    if [ "$status" = 86 ]; then
        failed=1  # stopped by a sanitizer: the report is printed below
    elif [ "$status" != 0 ]; then
        mapfile -t ids < <(sort -u "$BUILD/failed-sanitized")
        if [ "${#ids[@]}" = 0 ]; then
            log "pytest failed without naming a failed test"
            failed=1
        else
            log "${#ids[@]} failed under the sanitizers; running them again without sanitizers"
            build "$BUILD/plain-build" "$BUILD/plain-site" -DCMAKE_BUILD_TYPE=Release
            : >"$BUILD/failed-plain"
            set +e
            env PYTHONPATH="$BUILD/plain-site:$BUILD/plugin${PYTHONPATH:+:$PYTHONPATH}" \
                DRAVLEN_FAILURES="$BUILD/failed-plain" "${pytest[@]}" "${ids[@]}" >"$BUILD/plain.log" 2>&1
            set -e
            tail -n 1 "$BUILD/plain.log" >&2
            sort -u "$BUILD/failed-plain" -o "$BUILD/failed-plain"
            only=$(printf '%s\n' "${ids[@]}" | comm -23 - "$BUILD/failed-plain")
            both=$(printf '%s\n' "${ids[@]}" | comm -12 - "$BUILD/failed-plain")
            if [ -n "$both" ]; then
                log "failing without the sanitizers too (not a sanitizer finding): $(wc -l <<<"$both")"
                sed 's/^/    /' <<<"$both" >&2
                [ "${SANITIZE_STRICT:-0}" = 1 ] && failed=1
            fi
            if [ -n "$only" ]; then
                log "FAILING ONLY UNDER THE SANITIZERS: $(wc -l <<<"$only")"
                sed 's/^/    /' <<<"$only" >&2
                failed=1
            fi
        fi
    fi
fi

found=$(reports)
if [ -n "$found" ]; then
    for f in $found; do
        printf '\n==== %s\n' "$f" >&2
        cat "$f" >&2
    done
    log "sanitizer reports: $(wc -w <<<"$found") (above)"
    failed=1
else
    log "no sanitizer report"
fi
log "all in $(( $(date +%s) - start )) s"
exit "$failed"
