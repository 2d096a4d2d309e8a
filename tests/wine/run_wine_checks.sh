#!/usr/bin/env bash
# End-to-end checks of the Windows program under Wine, on a private X display.
#
#   tests/wine/run_wine_checks.sh [WINDOWS_BUILD_DIR [CHECK...]]   (default: build/windows, all)
#
# CHECK selects the checks whose names contain it (e.g. "update", "stall").
# Needs the Windows build (UpdateFirmware.exe, and beside it uf_probe.exe,
# uf_joystick.exe and the stand-in setupapi.dll and hid.dll), the host build's
# updater-sim (build/host, or UPDATER_SIM), wine, Xvfb, ImageMagick and
# python3. The Wine prefix lives in WINDOWS_BUILD_DIR/wineprefix (made on
# first use); screenshots go to build/artifacts/, each check's logs to
# WINDOWS_BUILD_DIR/wine-logs/CHECK/.
#
# Each check is a function named in CHECKS; a check starts the program, drives
# it with uf_probe, and returns non-zero with a message when something is wrong.
# The checks of the program's main job (update_checks.sh) run it against the
# stand-in joystick and compare each run with the same scenario on the
# simulated Windows. Whatever a check started is ended after it by pid; the X
# server and the Wine server are ended when the script exits.
#
# Exit status: 0 all checks passed, 1 a check failed, 2 the checks could not run
# (missing programs, or Xvfb or Wine would not start).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/windows}" 2>/dev/null && pwd) || {
  echo "wine checks: build folder ${1:-$ROOT/build/windows} does not exist" >&2
  exit 2
}
SELECTED=("${@:2}")
PROGRAM_EXE=$BUILD/UpdateFirmware.exe
PROBE_EXE=$BUILD/uf_probe.exe
ARTIFACTS=$ROOT/build/artifacts
WINE_FONTS=/usr/share/wine/fonts
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
NO_MONO_GECKO="mscoree,mshtml="
# Wine's own setupapi and hid everywhere, although the stand-ins lie beside
# the program: only the checks with the stand-in joystick load those.
export WINEDLLOVERRIDES="$NO_MONO_GECKO;setupapi,hid=b"

XVFB_PID=""
WINESERVER_STARTED=0
APP_PID=""
RUN=$LOGS  # the running check's own log folder

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
  stop_joystick || true
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
  require_update_tools
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
  # This Wine looks for its own fonts (Tahoma, and Marlett for the caption
  # buttons; package fonts-wine) only in the prefix's font folder.
  local fonts=$WINEPREFIX/drive_c/windows/Fonts font
  if [[ -d $WINE_FONTS && -d $fonts ]]; then
    for font in "$WINE_FONTS"/*; do
      [[ -e $fonts/${font##*/} ]] || ln -s "$font" "$fonts/"
    done
  fi
  # Wine draws the window frames itself: there is no window manager on the
  # private display, and without Decorated=N the caption is never drawn.
  # Without Managed=N Wine waits 2 s, for a window manager that never
  # answers, each time a window is hidden: every box closed and every exit
  # would come 2 s late.
  local setting
  for setting in Decorated Managed; do
    timeout 120 wine reg add 'HKCU\Software\Wine\X11 Driver' /v "$setting" /d N /f \
      >"$LOGS/reg.log" 2>&1 || cannot_run "wine reg could not configure the prefix; see $LOGS/reg.log"
  done
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
  wine "$PROGRAM_EXE" >"$RUN/program.log" 2>&1 &
  APP_PID=$!
}

# Ends a process this script started: TERM, KILL if it is still there after
# 10 s; then reaps it.
end_process() {
  local pid=$1 tries=0
  if alive "$pid"; then
    kill "$pid" 2>/dev/null || true
    while alive "$pid" && ((++tries <= 50)); do sleep 0.2; done
    if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  wait "$pid" 2>/dev/null || true
}

stop_program() {
  [[ -n $APP_PID ]] || return 0
  end_process "$APP_PID"
  APP_PID=""
}

# Fails the check with a message.
fail() {
  echo "    $*" >&2
  return 1
}

# Polls COMMAND... every 0.1 s until it succeeds; fails after SECONDS,
# saying what was awaited, or at once when COMMAND answers 2 (it never will).
await() {
  local seconds=$1 what=$2 tries=0 status
  shift 2
  for (( ; ; )); do
    status=0
    "$@" || status=$?
    ((status == 0)) && return 0
    ((status != 2)) || return 1
    ((++tries <= seconds * 10)) || fail "waited $seconds s in vain for $what" || return 1
    sleep 0.1
  done
}

wait_dialog() {
  probe wait-window "$TITLE" "$APPEAR_MS" || fail "the main dialog did not appear"
  probe wait-idle "$TITLE" "$IDLE_MS" || fail "the program did not settle to wait for input"
}

# The dialog goes away and then the process ends with exit code 0.
expect_ended() {
  local how=$1
  probe wait-gone "$TITLE" "$GONE_MS" || fail "the dialog is still open after $how" || return 1
  await "$EXIT_SECONDS" "the process to end after the dialog closed ($how)" \
    not alive "$APP_PID" || return 1
  local status=0
  wait "$APP_PID" || status=$?
  APP_PID=""
  say "  process ended (exit code $status)"
  ((status == 0)) || fail "the program ended with exit code $status after $how"
}

not() { ! "$@"; }

# AREA=(X Y WIDTH HEIGHT): where a window is on the screen.
AREA=()
window_area() {
  local title=${1:-$TITLE} x y w h
  read -r x y w h < <(probe rect "$title") || fail "no window rectangle" || return 1
  ((w > 0 && h > 0)) || fail "the window has an empty rectangle ($x $y $w $h)" || return 1
  AREA=("$x" "$y" "$w" "$h")
}

screenshot() {
  local file=$1 title=${2:-$TITLE}
  window_area "$title" || return 1
  screenshot_area "$file" "${AREA[@]}"
}

# Grabs the screen area X Y W H into FILE.
screenshot_area() {
  local file=$1 x=$2 y=$3 w=$4 h=$5
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

# The program's main job against the stand-in joystick.
# shellcheck source=tests/wine/update_checks.sh
source "$HERE/update_checks.sh"

CHECKS=(
  check_main_dialog_closes_on_wm_close
  check_escape_ends_dialog
  check_enter_ends_dialog
  check_about_box_opens_and_closes
  "${UPDATE_CHECKS[@]}"
)

selected() {
  local check=$1 pattern
  ((${#SELECTED[@]} == 0)) && return 0
  for pattern in "${SELECTED[@]}"; do
    [[ $check == *"$pattern"* ]] && return 0
  done
  return 1
}

# ------------------------------------------------------------------ run

require_tools
start_display
start_wine

passed=0
failed=0
for check in "${CHECKS[@]}"; do
  selected "$check" || continue
  say "$check"
  RUN=$LOGS/${check#check_}
  rm -rf "$RUN"
  mkdir -p "$RUN"
  started=$SECONDS
  if "$check"; then
    say "  PASS ($((SECONDS - started)) s)"
    passed=$((passed + 1))
  else
    say "  FAIL (logs: $RUN)"
    failed=$((failed + 1))
  fi
  stop_program
  stop_joystick || true
done

say "$passed passed, $failed failed"
((failed == 0)) || exit 1
