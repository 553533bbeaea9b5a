# Shared shell functions of the project's scripts: their usage text, finding
# Python 3.12, installing Debian packages, and making the project's virtual
# environment. Sourced, not run.

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVANE_VENV=${QUORVANE_VENV:-$QUORVANE_ROOT/.venv}

die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Prints the running script's opening comment (its usage) without the '#'.
print_usage() {
    sed -n '2,/^[^#]/{/^#/!q; s/^# \{0,1\}//; p}' "$0"
}

# With -h or --help among the arguments: prints the usage and exits, before
# anything is installed or built.
exit_if_help_asked() {
    local arg
    for arg in "$@"; do
        case $arg in
            -h|--help) print_usage; exit 0 ;;
        esac
    done
}

# Prints the path of a Python 3.12 interpreter: on PATH, under pyenv, or in the
# usual install prefixes.
find_python312() {
    local candidate prefix
    for candidate in python3.12 python3 python; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            command -v "$candidate"; return 0
        fi
    done
    if command -v pyenv >/dev/null 2>&1 && prefix=$(pyenv prefix 3.12 2>/dev/null); then
        [ -x "$prefix/bin/python3.12" ] && { echo "$prefix/bin/python3.12"; return 0; }
    fi
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 \
                     /usr/local/bin/python3.12 /usr/bin/python3.12 /opt/python*/bin/python3.12; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    return 1
}

# Installs the named Debian packages that are missing: with apt-get when run as
# root, otherwise stops with a message naming them.
need_debian_packages() {
    local missing=() package
    command -v dpkg-query >/dev/null 2>&1 || return 0   # not a Debian system: trust the toolchain
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        die "missing Debian packages: ${missing[*]} (install them with: sudo apt-get install ${missing[*]})"
    fi
}

# Makes (or reuses) the project's virtual environment and installs the pip
# requirements files given as arguments (pip is upgraded once, when the
# environment is made). Sets PY to the venv's interpreter.
make_venv() {
    local python
    if [ ! -x "$QUORVANE_VENV/bin/python" ]; then
        python=$(find_python312) || die "Python 3.12 not found (install it, or put python3.12 on PATH)"
        "$python" -m venv "$QUORVANE_VENV" || die "could not create a virtual environment with $python (Debian: apt-get install python3.12-venv)"
        "$QUORVANE_VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
    fi
    PY=$QUORVANE_VENV/bin/python
    local requirements
    for requirements in "$@"; do
        echo "Installing the Python packages of ${requirements#$QUORVANE_ROOT/} (the first run downloads them: a few minutes)"
        # One line per package, so that a first run shows its progress (the
        # scripts run with pipefail: pip's failure is the pipeline's).
        "$PY" -m pip install --progress-bar off -r "$requirements" |
            { grep --line-buffered -E '^(Collecting|Installing collected|Successfully installed)' || true; } |
            sed -u 's/^/  /' || die "pip install -r $requirements failed"
    done
}

# Builds and installs the extension module into the venv, reusing the build
# folder between runs.
install_project() {
    echo "Building and installing Quorvane (the first build compiles the kernels: about two minutes)"
    "$PY" -m pip install -q --no-build-isolation "$QUORVANE_ROOT" || die "building the module failed"
}
