# Sourced by the scripts in this folder: a private Wine prefix outside the clone and a
# persistent wineserver for it. Without a persistent server every program started costs Wine's
# whole start-up (seconds); and Wine's first start must run with its output redirected, or its
# background processes keep the caller's output pipe open (ctest, ninja) and the caller hangs.
#
# OVANTA_WINEPREFIX names another prefix (default: wine/ in the project's cache folder).
export WINEPREFIX=${OVANTA_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/ovanta/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs: nothing here needs .NET or the HTML engine. No debugger
# for a program that crashes: it ends at once (a test fails instead of waiting for its time-out
# on a debugger that a ctest run under load was seen to leave hanging).
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winedbg.exe=}
unset DISPLAY
# Debian keeps the 64-bit loader out of PATH; /usr/bin/wine picks it, after a warning.
wine_program=$(PATH=$PATH:/usr/lib/wine command -v wine64 || command -v wine || echo wine64)

wine_started=""
# Starts the persistent wineserver and warms the prefix up (creating it the first time).
wine_start() {
  mkdir -p "$WINEPREFIX"
  local rc=0
  wineserver -p </dev/null >/dev/null 2>&1 || rc=$?
  # 2: a persistent server of this prefix runs already (started by hand or by another script):
  # it is used, and left running.
  case $rc in
    0) wine_started=1 ;;
    2) ;;
    *)
      echo "wine: the wineserver for $WINEPREFIX does not start ($rc)" >&2
      return 1
      ;;
  esac
  if ! "$wine_program" wineboot </dev/null >"$WINEPREFIX.boot.log" 2>&1; then
    echo "wine: starting the prefix $WINEPREFIX failed; log: $WINEPREFIX.boot.log" >&2
    return 1
  fi
}
# Stops the wineserver wine_start started (and every Wine process of the prefix).
wine_stop() {
  if [ -n "$wine_started" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wine_started=""
  fi
}
