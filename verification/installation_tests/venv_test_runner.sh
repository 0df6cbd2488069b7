#!/usr/bin/env bash
# Installs the package and a requirement file into a fresh virtual environment and checks that the
# installed package works there.
#
# Usage: venv_test_runner.sh --venv-dir DIR --requirements-path FILE [--gpu-present]
#                            [--dont-install-ostrel] [--reinstall-requirements]
#
#   --venv-dir DIR            a freshly created virtual environment with pip
#   --requirements-path FILE  requirement file, relative to the working directory
#   --gpu-present             the machine has a GPU: the installed packages must be able to use it
#   --dont-install-ostrel     install only the requirement file (which may name the package itself)
#   --reinstall-requirements  install the requirement file once more after the package
#
# The package comes from the wheel folder $OSTREL_WHEEL_DIR (required unless --dont-install-ostrel is
# given and the requirement file does not name the package), other packages from pip's configured
# indexes and cache. Every pip call ends after $OSTREL_PIP_TIME_LIMIT seconds (default 600).
# With OSTREL_VENV_E2E=1 the end-to-end suite also runs inside the environment (it needs the
# frameworks and the samples there).
#
# Exit status:
#     0  installed, and the package works in the environment
#     2  wrong usage (unknown option, missing venv or requirement file)
#     3  the requirements conflict with each other or with the package (pip cannot resolve them)
#     4  any other installation failure (unreachable index, missing distribution, build failure)
#     5  a pip call did not end within its time limit
#   100  installed, but the package does not work in the environment
set -uo pipefail

usage() { sed -n '2,/^set -uo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }

venv_dir="" requirements="" gpu_present=0 dont_install=0 reinstall=0
while [ $# -gt 0 ]; do
  case "$1" in
    --venv-dir) [ $# -ge 2 ] || usage; venv_dir="$2"; shift 2 ;;
    --requirements-path) [ $# -ge 2 ] || usage; requirements="$2"; shift 2 ;;
    --gpu-present) gpu_present=1; shift ;;
    --dont-install-ostrel) dont_install=1; shift ;;
    --reinstall-requirements) reinstall=1; shift ;;
    -h|--help) usage ;;
    *) echo "venv_test_runner: unknown option: $1" >&2; usage ;;
  esac
done
[ -n "$venv_dir" ] && [ -n "$requirements" ] || usage
python="$venv_dir/bin/python"
if [ ! -x "$python" ]; then echo "venv_test_runner: no virtual environment at $venv_dir" >&2; exit 2; fi
if [ ! -f "$requirements" ]; then echo "venv_test_runner: no requirement file $requirements" >&2; exit 2; fi

time_limit="${OSTREL_PIP_TIME_LIMIT:-600}"
wheel_args=()
if [ -n "${OSTREL_WHEEL_DIR:-}" ]; then wheel_args=(--find-links "$OSTREL_WHEEL_DIR"); fi
log="$(mktemp "${TMPDIR:-/tmp}/venv_test_runner.XXXXXX")"
trap 'rm -f "$log"' EXIT

# pip with a time limit; its output goes to the terminal and to $log, read to tell a conflict apart.
pip_install() {
  echo "+ pip install $*"
  timeout --kill-after=10 "$time_limit" "$python" -m pip install --disable-pip-version-check \
    --no-input --timeout 30 --retries 1 "${wheel_args[@]}" "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] && return 0
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "venv_test_runner: pip did not end within ${time_limit}s" >&2; exit 5
  fi
  if grep -q -e "ResolutionImpossible" -e "conflicting dependencies" "$log"; then
    echo "venv_test_runner: the requirements conflict" >&2; exit 3
  fi
  echo "venv_test_runner: installation failed (pip status $status)" >&2; exit 4
}

has_requirements() { grep -qv -e '^[[:space:]]*$' -e '^[[:space:]]*#' "$requirements"; }

if has_requirements; then pip_install -r "$requirements"; fi
if [ "$dont_install" -eq 0 ]; then
  if [ -z "${OSTREL_WHEEL_DIR:-}" ]; then echo "venv_test_runner: OSTREL_WHEEL_DIR is not set" >&2; exit 2; fi
  pip_install ostrel
  if [ "$reinstall" -eq 1 ] && has_requirements; then pip_install --force-reinstall --no-deps -r "$requirements"; fi
fi

# The installed package must work, from a folder where no source tree can stand in for it.
if [ "$dont_install" -eq 0 ]; then
  cd "$(mktemp -d "${TMPDIR:-/tmp}/venv_test_runner_cwd.XXXXXX")" || exit 4
  check='import ostrel, tests.installation_tests.run_tests_in_venv'
  if [ "$gpu_present" -eq 1 ]; then
    # A GPU machine: the package sees the GPU, and a torch that is installed is a CUDA build.
    check="$check"'
import importlib.util, sys
import ostrel
if not ostrel.GPU_PRESENT: sys.exit("the package sees no GPU")
if importlib.util.find_spec("torch") is not None:
    import torch
    if not torch.cuda.is_available(): sys.exit("torch cannot use the GPU")'
  fi
  if ! "$python" -c "$check"; then echo "venv_test_runner: the installed package does not work" >&2; exit 100; fi
  if [ "${OSTREL_VENV_E2E:-0}" = 1 ]; then
    "$python" -m tests.installation_tests.run_tests_in_venv || exit 100
  fi
  rmdir "$PWD" 2>/dev/null
fi
echo "venv_test_runner: passed"
exit 0
