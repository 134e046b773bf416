# Shared settings of the build and Wine scripts; sourced, not run.
KESTROVA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESTROVA_BUILD=${KESTROVA_BUILD:-$KESTROVA_ROOT/build/win}
KESTROVA_NATIVE_BUILD=${KESTROVA_NATIVE_BUILD:-$KESTROVA_ROOT/build/native}
KESTROVA_BIN=$KESTROVA_BUILD/bin

export WINEPREFIX=$KESTROVA_BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

kestrova_wine() {
  if [ -x /usr/lib/wine/wine64 ]; then
    /usr/lib/wine/wine64 "$@"
  else
    wine64 "$@"
  fi
}

kestrova_wineserver() {
  if [ -x /usr/lib/wine/wineserver64 ]; then
    /usr/lib/wine/wineserver64 "$@"
  else
    wineserver "$@"
  fi
}

# Compiler cache, when the machine has one: build folders of the same tree
# (a developer's side builds) then share their objects.
kestrova_launcher_options() {
  if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR=$KESTROVA_ROOT CCACHE_NOHASHDIR=1
    echo "-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  fi
}

# Configures and builds; targets named by the caller, or everything.
kestrova_configure_and_build() {
  # shellcheck disable=SC2046
  cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja $(kestrova_launcher_options) \
    -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$KESTROVA_BUILD" --target "$@"
  else
    cmake --build "$KESTROVA_BUILD"
  fi
}

# Starts one persistent wineserver for this prefix (created on first use) and
# stops it by pid when the calling script exits, so each Wine process of the
# run starts in milliseconds and nothing is written to the home directory.
kestrova_start_wineserver() {
  mkdir -p "$WINEPREFIX"
  kestrova_wineserver -f -p >/dev/null 2>&1 &
  KESTROVA_WINESERVER_PID=$!
  trap kestrova_stop_wineserver EXIT
  # The first process of the prefix creates it and starts Wine's own services;
  # keep them off our output so that pipes close when the run ends.
  kestrova_wine wineboot --init >/dev/null 2>&1 </dev/null || true
  # No debugger for unhandled exceptions: a crashing test program ends at once
  # with its exception code (after Wine's one-line report) instead of waiting
  # in the debugger, which can keep the run's output open until its timeout.
  kestrova_wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f \
    >/dev/null 2>&1 </dev/null || true
}

kestrova_stop_wineserver() {
  kestrova_wineserver -k >/dev/null 2>&1 || true
  kill "$KESTROVA_WINESERVER_PID" 2>/dev/null || true
  wait "$KESTROVA_WINESERVER_PID" 2>/dev/null || true
}
