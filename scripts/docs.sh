#!/usr/bin/env bash
# Builds the API reference (docs/) as HTML into build/docs/html with Sphinx,
# every warning an error. Installs the pinned documentation tools into
# .venv-cpython when they are not there yet (idempotent).
set -euo pipefail

usage() {
    cat <<'USAGE'
Usage: bash scripts/docs.sh

Builds the reference in docs/ (Markdown pages read by Sphinx with the MyST
parser; the pages of the commands and client methods are made from the type
stubs in stubs/) as HTML into build/docs/html, from scratch each time; any
warning fails the build. Needs .venv-cpython (bash scripts/setup.sh cpython);
installs Sphinx and the MyST parser there, at pinned versions, when missing.
The code samples of the pages run in tests/python/test_docs.py.

  -h, --help  print this help and exit
USAGE
}

source "$(dirname "$0")/help_only.sh"
help_only docs.sh "$@"
cd "$(dirname "$0")/.."

python=.venv-cpython/bin/python
if [[ ! -x $python ]]; then
    echo "docs.sh: .venv-cpython is missing: run bash scripts/setup.sh cpython first" >&2
    exit 1
fi
sphinx_version=8.2.3
myst_version=4.0.1
if ! "$python" -c "import sys, sphinx, myst_parser
sys.exit(sphinx.__version__ != '$sphinx_version' or myst_parser.__version__ != '$myst_version')" \
        2>/dev/null; then
    echo "[docs] installing Sphinx $sphinx_version and myst-parser $myst_version into .venv-cpython"
    "$python" -W ignore -m pip install -q --disable-pip-version-check \
        "sphinx==$sphinx_version" "myst-parser==$myst_version"
fi
rm -rf build/docs
"$python" -m sphinx -W --keep-going -q -E -b html -d build/docs/doctrees docs build/docs/html
echo "[docs] built build/docs/html/index.html"
