#!/usr/bin/env bash
# Type-checks the installed package as a user's code sees it: the typed use
# of every FTPPath member and the command line must pass `mypy --strict`, and
# each marked misuse must be rejected with the error code it is marked with
# (and nothing else).
#
#   bash .ci/typecheck.sh               # pip-installs mypy and the package (.)
#   bash .ci/typecheck.sh --no-install  # the package is installed already
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
# Whatever the caller had on its paths must not stand in for the installed copy.
unset PYTHONPATH MYPYPATH

python3 -m pip install -q 'mypy>=1.10,<3' types-tqdm
if [[ "${1:-}" != "--no-install" ]]; then
    python3 -m pip install -q .
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# From an empty folder neither the work tree nor src/ is on mypy's search path.
cd "$work"

installed=$(python3 -c 'import dravlen.ftp.path as m, os; print(os.path.dirname(m.__file__))')
case "$installed" in
    "$repo"/src/*) echo "typecheck: dravlen is imported from the work tree ($installed), not an install" >&2; exit 1 ;;
esac
for marker in "$installed/path.pyi" "$installed/../py.typed"; do
    [[ -f "$marker" ]] || { echo "typecheck: the install lacks $marker" >&2; exit 1; }
done
echo "== mypy $(python3 -m mypy --version | cut -d' ' -f2) against $installed"

mypy=(python3 -m mypy --strict --no-incremental --cache-dir "$work/cache" --no-error-summary)

echo "== typed use: tests/typing/typed_example.py"
"${mypy[@]}" "$repo/tests/typing/typed_example.py"

echo "== the command line, which uses FTPPath as any client would: dravlen.ftp.cli"
"${mypy[@]}" -p dravlen.ftp.cli -m dravlen.ftp.__main__

echo "== misuse must be rejected: tests/typing/misuse.py"
set +e
"${mypy[@]}" "$repo/tests/typing/misuse.py" >"$work/misuse.out" 2>&1
status=$?
set -e
if (( status != 1 )); then
    cat "$work/misuse.out" >&2
    echo "typecheck: mypy exited $status on misuse.py (1 means: type errors found)" >&2
    exit 1
fi
python3 - "$repo/tests/typing/misuse.py" "$work/misuse.out" <<'PY'
import re, sys

source, output = sys.argv[1], sys.argv[2]
expected = set()
with open(source, encoding="utf-8") as f:
    for number, line in enumerate(f, 1):
        marker = re.search(r"# expect: ([\w, -]+)$", line.rstrip())
        if marker:
            expected |= {(number, code.strip()) for code in marker.group(1).split(",")}
got = set()
with open(output, encoding="utf-8") as f:
    for line in f:
        found = re.match(r".*misuse\.py:(\d+): error: .*\[([\w-]+)\]$", line.rstrip())
        if found:
            got.add((int(found.group(1)), found.group(2)))
missing, extra = sorted(expected - got), sorted(got - expected)
for number, code in missing:
    print(f"misuse.py:{number}: mypy accepted what must be a [{code}] error", file=sys.stderr)
for number, code in extra:
    print(f"misuse.py:{number}: unexpected [{code}] error", file=sys.stderr)
if missing or extra or not expected:
    sys.stderr.write(open(output, encoding="utf-8").read())
    sys.exit(1)
print(f"{len(expected)} expected errors, each reported")
PY
echo "== typecheck passed"
