#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds tests/integration's small
# host against the installed package (out of tree, through
# find_package(QmPython)) and runs scripts through it and through the
# installed qmhost.
#   check_install.sh BUILD_DIR WORK_DIR [CXX_FLAGS]
set -euo pipefail
build=$1
work=$2
flags=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in bin/qmhost lib/libqmpython.so lib/libqmsdk.a lib/PythonModules/qmserv/__init__.py \
         lib/PythonModules/qm/__init__.pyi lib/PythonModules/qmserv/__init__.pyi \
         lib/PythonModules/qmserv/interfaces.py include/qm-python/qm_sdk.h \
         include/qm-python/qm_ifc_base.h include/qm-python/qm_impl_script.h \
         lib/cmake/QmPython/QmPythonConfig.cmake lib/cmake/QmPython/QmPythonConfigVersion.cmake; do
  [ -e "$prefix/$f" ] || fail "the package has no $f"
done
# Only the SDK's headers: none of the plug-in's own.
if ls "$prefix/include/qm-python" | grep -q '^qm_loc_\|^qm_wrappers'; then
  fail "the package installs the plug-in's own headers"
fi

cmake -S "$here" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" \
      >"$work/configure.log" || { cat "$work/configure.log"; fail "configure failed"; }
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build failed"; }
# A version the package is not is refused.
mkdir -p "$work/old"
cat >"$work/old/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.18)
project(old LANGUAGES CXX)
find_package(QmPython 99 REQUIRED)
CMAKE
if cmake -S "$work/old" -B "$work/old/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
  fail "find_package(QmPython 99) was accepted"
fi

cat >"$work/ok.py" <<'PY'
#python
import qm, sys, os
with open(os.environ['SMALL_HOST_OUT'], 'w') as f:
    f.write('%s|%s|%s' % (qm.__version__, ' '.join(qm.args()), sys.version.split()[0]))
PY
cat >"$work/fails.py" <<'PY'
#python
raise KeyError('missing')
PY
export SMALL_HOST_OUT=$work/out.txt
"$work/build/small_host" "$work/ok.py" "one two" || fail "the small host failed the script"
got=$(cat "$SMALL_HOST_OUT")
[[ $got == *"|one two|2.7."* ]] || fail "the script wrote '$got'"
version=${got%%|*}
[ -n "$version" ] || fail "no version"
set +e
"$work/build/small_host" "$work/fails.py" >"$work/fails.log" 2>&1
rc=$?
set -e
[ $rc -eq 1 ] || fail "a failing script gave status $rc"
grep -q "result 80000000" "$work/fails.log" || fail "a failing script: $(cat "$work/fails.log")"

# The installed qmhost finds the installed plug-in beside it.
got=$(env -u QMHOST_PLUGIN "$prefix/bin/qmhost" -c 'import qm; print qm.__version__')
[ "$got" = "$version" ] || fail "the installed qmhost said '$got'"
echo "ok: version $version"
