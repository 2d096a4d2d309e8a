#!/usr/bin/env bash
# End-to-end checks of the Windows program under Wine, on a private X display.
#
#   tests/wine/run_wine_checks.sh [WINDOWS_BUILD_DIR]      (default: build/windows)
#
# Needs UpdateFirmware.exe and uf_probe.exe in the build folder, and wine,
# Xvfb and ImageMagick. The Wine prefix lives in WINDOWS_BUILD_DIR/wineprefix
# (made on first use); the screenshot goes to build/artifacts/main-dialog.png.
#
# Each check is a function named in CHECKS; a check starts the program, drives
# it with uf_probe, and returns non-zero with a message when something is wrong.
# Whatever a check started is ended after it by pid; the X server and the Wine
# server are ended when the script exits.
#
# Exit status: 0 all checks passed, 1 a check failed, 2 the checks could not run
# (missing programs, or Xvfb or Wine would not start).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/windows}" 2>/dev/null && pwd) || {
  echo "wine checks: build folder ${1:-$ROOT/build/windows} does not exist" >&2
  exit 2
}
PROGRAM_EXE=$BUILD/UpdateFirmware.exe
PROBE_EXE=$BUILD/uf_probe.exe
ARTIFACTS=$ROOT/build/artifacts
LOGS=$BUILD/wine-logs
TITLE="Brelt Kestrune Arcade Joystick Updater"

# Window messages, virtual keys and control ids the checks use.
WM_CLOSE=0x0010
VK_RETURN=0x0D
VK_ESCAPE=0x1B
WM_SYSCOMMAND=0x0112
SC_CLOSE=0xF060
IDM_ABOUTBOX=0x0010
IDC_UPDATE=1000
IDC_FILE_VERSION=1010
ABOUT_TITLE="About"

# Limits, generous: a first start in a fresh prefix is slow.
APPEAR_MS=60000
IDLE_MS=30000
GONE_MS=30000
EXIT_SECONDS=30

export WINEPREFIX=$BUILD/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko: the program needs neither, and their installers would prompt.
export WINEDLLOVERRIDES="mscoree,mshtml="

XVFB_PID=""
WINESERVER_STARTED=0
APP_PID=""

say() { echo "wine checks: $*"; }
cannot_run() {
  echo "wine checks: cannot run: $*" >&2
  exit 2
}

alive() {
  local pid=$1
  kill -0 "$pid" 2>/dev/null || return 1
  # A child that has ended but not yet been reaped still answers kill -0.
  [[ $(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) != Z ]]
}

cleanup() {
  stop_program
  if ((WINESERVER_STARTED)); then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [[ -n $XVFB_PID ]]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ------------------------------------------------------------------ set-up

require_tools() {
  local tool
  for tool in wine wineserver Xvfb import convert timeout; do
    command -v "$tool" >/dev/null || cannot_run "$tool is not installed (scripts/test installs it)"
  done
  [[ -f $PROGRAM_EXE ]] || cannot_run "$PROGRAM_EXE is missing (build the windows preset first)"
  [[ -f $PROBE_EXE ]] || cannot_run "$PROBE_EXE is missing (build the windows preset first)"
  mkdir -p "$ARTIFACTS" "$LOGS"
}

start_display() {
  local display_file=$LOGS/display
  : >"$display_file"
  # -displayfd: the server takes the first free display and writes its number.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" \
    >"$LOGS/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local tries=0
  until [[ -s $display_file ]]; do
    alive "$XVFB_PID" || cannot_run "Xvfb ended at start-up; see $LOGS/xvfb.log"
    ((++tries <= 100)) || cannot_run "Xvfb did not report a display within 20 s"
    sleep 0.2
  done
  export DISPLAY=":$(tr -dc 0-9 <"$display_file")"
  say "X display $DISPLAY (Xvfb pid $XVFB_PID)"
}

start_wine() {
  mkdir -p "$WINEPREFIX"
  # A server left over from an interrupted run of this prefix goes first.
  wineserver -k >/dev/null 2>&1 || true
  # One persistent server for the whole run, so each probe call starts quickly.
  wineserver -p >"$LOGS/wineserver.log" 2>&1 ||
    cannot_run "wineserver would not start; see $LOGS/wineserver.log"
  WINESERVER_STARTED=1
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    say "creating the Wine prefix $WINEPREFIX"
    timeout 600 wineboot -i >"$LOGS/wineboot.log" 2>&1 ||
      cannot_run "wineboot could not create the prefix; see $LOGS/wineboot.log"
  fi
  # Wine draws the window frames itself: there is no window manager on the
  # private display, and without this the caption is never drawn.
  timeout 120 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f \
    >"$LOGS/reg.log" 2>&1 || cannot_run "wine reg could not configure the prefix; see $LOGS/reg.log"
  # Waiting for a window that does not exist returns at once when Wine works.
  local status=0
  probe wait-gone "no such window" 0 >/dev/null 2>"$LOGS/first-run.log" || status=$?
  ((status == 0)) || cannot_run "Wine cannot run uf_probe.exe (status $status); see $LOGS/first-run.log"
}

# ------------------------------------------------------------------ helpers

# Runs uf_probe under Wine, bounded in time; its output without the CRs.
probe() {
  timeout 180 wine "$PROBE_EXE" "$@" | tr -d '\r'
}

start_program() {
  wine "$PROGRAM_EXE" >"$LOGS/program.log" 2>&1 &
  APP_PID=$!
}

stop_program() {
  [[ -n $APP_PID ]] || return 0
  if alive "$APP_PID"; then
    kill "$APP_PID" 2>/dev/null || true
    local tries=0
    while alive "$APP_PID" && ((++tries <= 50)); do sleep 0.2; done
    alive "$APP_PID" && kill -KILL "$APP_PID" 2>/dev/null
  fi
  wait "$APP_PID" 2>/dev/null || true
  APP_PID=""
}

# Fails the check with a message.
fail() {
  echo "    $*" >&2
  return 1
}

wait_dialog() {
  probe wait-window "$TITLE" "$APPEAR_MS" || fail "the main dialog did not appear"
  probe wait-idle "$TITLE" "$IDLE_MS" || fail "the program did not settle to wait for input"
}

# The dialog goes away and then the process ends.
expect_ended() {
  local how=$1
  probe wait-gone "$TITLE" "$GONE_MS" || fail "the dialog is still open after $how"
  local tries=0
  while alive "$APP_PID"; do
    ((++tries <= EXIT_SECONDS * 5)) ||
      fail "the dialog closed after $how but the process did not end within $EXIT_SECONDS s" ||
      return 1
    sleep 0.2
  done
  local status=0
  wait "$APP_PID" || status=$?
  APP_PID=""
  say "  process ended (exit code $status)"
}

screenshot() {
  local file=$1 title=${2:-$TITLE} x y w h
  read -r x y w h < <(probe rect "$title") || fail "no window rectangle" || return 1
  ((w > 0 && h > 0)) || fail "the dialog has an empty rectangle ($x $y $w $h)" || return 1
  import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$file" ||
    fail "import could not grab the screen" || return 1
  # A dialog that was not drawn shows as one or two flat colours.
  local colours
  colours=$(convert "$file" -format %k info:)
  ((colours > 16)) || fail "the screenshot $file is blank ($colours colours)" || return 1
  say "  screenshot $file (${w}x${h} at $x,$y, $colours colours)"
}

# ------------------------------------------------------------------ checks

check_main_dialog_closes_on_wm_close() {
  start_program
  wait_dialog || return 1
  local enabled
  enabled=$(probe item-enabled "$TITLE" "$IDC_UPDATE") || fail "cannot read the Update button" ||
    return 1
  [[ $enabled == 0 ]] || fail "the Update button is enabled with no joystick attached" || return 1
  local version
  version=$(probe item-text "$TITLE" "$IDC_FILE_VERSION") || fail "cannot read the file version" ||
    return 1
  [[ $version == "V1.12" ]] || fail "the file-version field reads '$version', not V1.12" || return 1
  screenshot "$ARTIFACTS/main-dialog.png" || return 1
  probe post "$TITLE" "$WM_CLOSE" 0 0 || fail "cannot post WM_CLOSE" || return 1
  expect_ended "WM_CLOSE"
}

# The system menu's about item opens the about box over the main dialog;
# Enter closes it and the main dialog is usable again.
check_about_box_opens_and_closes() {
  start_program
  wait_dialog || return 1
  probe syscommand "$TITLE" "$IDM_ABOUTBOX" || fail "cannot choose the about item" || return 1
  probe wait-window "$ABOUT_TITLE" "$APPEAR_MS" || fail "the about box did not appear" || return 1
  probe wait-idle "$ABOUT_TITLE" "$IDLE_MS" || fail "the about box did not settle" || return 1
  screenshot "$ARTIFACTS/about-box.png" "$ABOUT_TITLE" || return 1
  probe key "$ABOUT_TITLE" "$VK_RETURN" || fail "cannot send Enter to the about box" || return 1
  probe wait-gone "$ABOUT_TITLE" "$GONE_MS" || fail "Enter did not close the about box" || return 1
  probe post "$TITLE" "$WM_SYSCOMMAND" "$SC_CLOSE" 0 || fail "cannot choose Close" || return 1
  expect_ended "the system menu's Close"
}

check_escape_ends_dialog() {
  start_program
  wait_dialog || return 1
  probe key "$TITLE" "$VK_ESCAPE" || fail "cannot send Escape" || return 1
  expect_ended "Escape"
}

check_enter_ends_dialog() {
  start_program
  wait_dialog || return 1
  probe key "$TITLE" "$VK_RETURN" || fail "cannot send Enter" || return 1
  expect_ended "Enter"
}

CHECKS=(
  check_main_dialog_closes_on_wm_close
  check_escape_ends_dialog
  check_enter_ends_dialog
  check_about_box_opens_and_closes
)

# ------------------------------------------------------------------ run

require_tools
start_display
start_wine

passed=0
failed=0
for check in "${CHECKS[@]}"; do
  say "$check"
  if "$check"; then
    say "  PASS"
    passed=$((passed + 1))
  else
    say "  FAIL (program output: $LOGS/program.log)"
    failed=$((failed + 1))
  fi
  stop_program
done

say "$passed passed, $failed failed"
((failed == 0)) || exit 1
