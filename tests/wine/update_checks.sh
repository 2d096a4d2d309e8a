# shellcheck shell=bash
# The program's main job under Wine: finding the joystick, updating it and
# reporting the result, against the stand-in joystick (uf_joystick.exe on a
# named pipe; the stand-in setupapi.dll and hid.dll, loaded by the program
# alone, make the pipe look like a HID interface). Each check then runs the
# same scenario on the simulated Windows (updater-sim) and compares the two
# runs report for report, and their message boxes.
#
# Sourced by run_wine_checks.sh, whose helpers (probe, await, fail, ...) it uses.

JOYSTICK_EXE=$BUILD/uf_joystick.exe
UPDATER_SIM=${UPDATER_SIM:-$ROOT/build/host/updater-sim}
COMPARE=$HERE/compare_runs.py
FIRMWARE_BIN=$ROOT/firmware/UpdateFirmware.bin

# The joystick's pipe carries its vendor and product ids in its name; the
# other two are listed before it: a HID device that is not the joystick, and
# a pipe that nobody serves (an interface that is not present).
JOYSTICK_PIPE='\\.\pipe\uf-joystick-vid_1209&pid_b4e7'
FOREIGN_PIPE='\\.\pipe\uf-gamepad-vid_046d&pid_c216'
ABSENT_PIPE='\\.\pipe\uf-absent-vid_1209&pid_b4e7'

IDC_DEVICE_VERSION=1008
IDC_DEVICE_NAME=1014
IDC_UPDATE_PROGRESS=1017
VK_LSHIFT=0xA0
JOYSTICK_NAME="Brelt Kestrune Arcade Joystick"
UNKNOWN_DEVICE="Unknown Device !"
UPDATE_ERROR='"Error" "Device Rom Update error!"'
DOWNGRADE_REFUSED='"Error" "Device version is higher than File version\nCan'"'"'t be Updated!"'

JOYSTICK_START_SECONDS=60
SEARCH_SECONDS=30  # the monitor thread searches once a second
BOX_MS=60000
KEY_MS=10000
# Two transfer time-outs of 1000 ms, less the tick counter's granularity.
TWO_TIMEOUTS_MS=1950
# How long the joystick holds back during an update for the screenshot: well
# inside the program's 1000 ms transfer time-out.
PAUSE_MS=600

JOYSTICK_PID=""
BOX=""      # the last box seen: "CAPTION" "TEXT"
BOX_TICK=0  # when it was seen (GetTickCount64, the clock of the joystick's log)

require_update_tools() {
  local file
  for file in "$JOYSTICK_EXE" "$BUILD/setupapi.dll" "$BUILD/hid.dll"; do
    [[ -f $file ]] || cannot_run "$file is missing (build the windows preset first)"
  done
  [[ -x $UPDATER_SIM ]] || cannot_run "$UPDATER_SIM is missing (build the host preset first)"
  command -v python3 >/dev/null || cannot_run "python3 is not installed"
}

# The Windows path of a file of this machine (Wine's drive Z: is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# ------------------------------------------------------------------ the joystick

# Starts the stand-in joystick with the options given and waits until it serves.
start_joystick() {
  : >"$RUN/control"
  wine "$JOYSTICK_EXE" --pipe "$JOYSTICK_PIPE" --log "$(winpath "$RUN/joystick.log")" \
    --control "$(winpath "$RUN/control")" --flash "$(winpath "$RUN/flash.bin")" "$@" \
    >"$RUN/joystick.out" 2>&1 &
  JOYSTICK_PID=$!
  await "$JOYSTICK_START_SECONDS" "the stand-in joystick to serve its pipe" joystick_ready
}

joystick_ready() {
  alive "$JOYSTICK_PID" || fail "the stand-in joystick ended; see $RUN/joystick.out" || return 2
  joystick_logged ' ready '
}

# Asks the running joystick to unplug, replug, resume, ...
joystick_do() { echo "$1" >>"$RUN/control"; }

joystick_logged() { [[ -f $RUN/joystick.log ]] && grep -Eq -- "$1" "$RUN/joystick.log"; }

# A line matching PATTERN after the last line matching MARK.
joystick_logged_after() {
  awk -v mark="$1" -v want="$2" '
    $0 ~ mark { after = 1; seen = 0; next }
    after && $0 ~ want { seen = 1 }
    END { exit !seen }' "$RUN/joystick.log"
}

KEEP_ALIVE=' W ok [0-9a-f]+ ping$'

# Ends the joystick (after writing its flash) and checks that it took no
# report it did not expect.
stop_joystick() {
  [[ -n $JOYSTICK_PID ]] || return 0
  joystick_do quit
  local status=0
  if await 30 "the stand-in joystick to end" not alive "$JOYSTICK_PID"; then
    wait "$JOYSTICK_PID" 2>/dev/null || status=$?
  else
    end_process "$JOYSTICK_PID"
    status=1
  fi
  JOYSTICK_PID=""
  ((status == 0)) || fail "the stand-in joystick ended with status $status" || return 1
  if joystick_logged ' unexpected | error | bad-command '; then
    grep -E ' unexpected | error | bad-command ' "$RUN/joystick.log" | head -5 >&2
    fail "the stand-in joystick took reports it did not expect; see $RUN/joystick.log"
  fi
}

# ------------------------------------------------------------------ the program

# Starts the program with the stand-in DLLs, listing these pipes as HID interfaces.
start_program_on() {
  UF_HID_PIPES=$1 WINEDLLOVERRIDES="$NO_MONO_GECKO;setupapi,hid=n,b" \
    wine "$PROGRAM_EXE" >"$RUN/program.log" 2>&1 &
  APP_PID=$!
  wait_dialog
}

expect_text() {
  local id=$1 want=$2 text
  text=$(probe item-text "$TITLE" "$id") || fail "cannot read item $id" || return 1
  [[ $text == "$want" ]] || fail "item $id reads '$text', not '$want'"
}

expect_progress() {
  local want=$1 bar
  bar=$(probe progress "$TITLE" "$IDC_UPDATE_PROGRESS") || fail "cannot read the bar" || return 1
  [[ $bar == "$want" ]] || fail "the bar is at $bar (position, minimum, maximum), not $want"
}

# The monitor thread has found and identified the joystick, and writes keep-alives.
await_identified() {
  local release=$1
  local ms=$((SEARCH_SECONDS * 1000))
  if ! probe wait-text "$TITLE" "$IDC_DEVICE_NAME" "$JOYSTICK_NAME" "$ms" ||
    ! probe wait-enabled "$TITLE" "$IDC_UPDATE" 1 "$ms"; then
    fail "the joystick was not found and identified"
    return 1
  fi
  expect_text "$IDC_DEVICE_VERSION" "$release" || return 1
  await 10 "a keep-alive" joystick_logged_after ' open ' "$KEEP_ALIVE"
}

# Starts the stand-in joystick with these options and the program, and
# waits until the program has identified it, showing RELEASE.
start_with_joystick() {
  local release=$1
  shift
  start_joystick "$@" && start_program_on "$JOYSTICK_PIPE" && await_identified "$release"
}

click_update() { probe click "$TITLE" "$IDC_UPDATE" || fail "cannot click Update"; }

# The display shows no device and Update is disabled.
await_no_device() {
  local ms=$((SEARCH_SECONDS * 1000))
  if ! probe wait-text "$TITLE" "$IDC_DEVICE_NAME" "" "$ms" ||
    ! probe wait-text "$TITLE" "$IDC_DEVICE_VERSION" "" "$ms" ||
    ! probe wait-enabled "$TITLE" "$IDC_UPDATE" 0 "$ms"; then
    fail "the display still shows a device"
  fi
}

# Waits for the next message box and records it in boxes.txt.
await_box() {
  local line
  line=$(probe wait-box "$TITLE" "$BOX_MS") ||
    fail "no message box appeared within $((BOX_MS / 1000)) s" || return 1
  BOX_TICK=${line%% *}
  BOX=${line#* }
  echo "$BOX" >>"$RUN/boxes.txt"
  say "  box $BOX"
}

expect_box() {
  await_box || return 1
  [[ $BOX == "$1" ]] || fail "the box reads $BOX, not $1"
}

answer_box() {
  probe box-ok "$TITLE" || fail "cannot press OK on the box" || return 1
  probe wait-no-box "$TITLE" "$GONE_MS" || fail "OK did not close the box"
}

# The last box is that of a good update: its checksum is the sum of the
# joystick's own answers, and the joystick has taken the finishing command
# with every page programmed.
expect_success_box() {
  local sum
  sum=$(python3 "$COMPARE" checksum-sum "$RUN/joystick.log") || return 1
  local want="\"OK\" \"Update and Verify OK!\\nCheckSum:$sum\\nRelease:0x0112\""
  [[ $BOX == "$want" ]] || fail "the box reads $BOX, not $want" || return 1
  await 10 "the joystick to take the finishing command with every page programmed" \
    joystick_logged ' completed release 0x0112'
}

end_program() {
  probe wait-no-box "$TITLE" 0 || fail "a message box is open at the end" || return 1
  probe post "$TITLE" "$WM_CLOSE" 0 0 || fail "cannot post WM_CLOSE" || return 1
  expect_ended "WM_CLOSE"
}

# After the box of a good update: OK, keep-alives resume, the program ends,
# and the joystick's flash holds the carried image.
end_good_update() {
  answer_box || return 1
  await 10 "keep-alives after the update" joystick_logged_after ' completed ' "$KEEP_ALIVE" ||
    return 1
  end_program || return 1
  stop_joystick || return 1
  cmp -s "$RUN/flash.bin" "$FIRMWARE_BIN" ||
    fail "the joystick's flash ($RUN/flash.bin) is not $FIRMWARE_BIN"
}

# Runs the scenario on the simulated Windows with these updater-sim options
# and compares: the same reports in the same order, the same boxes.
compare_with_simulation() {
  "$UPDATER_SIM" --capture "$RUN/sim.capture" --events "$RUN/sim.events" "$@" \
    >"$RUN/sim.out" 2>&1 || fail "updater-sim $* failed; see $RUN/sim.out" || return 1
  : >>"$RUN/boxes.txt"
  local compared
  compared=$(python3 "$COMPARE" transfers "$RUN/joystick.log" "$RUN/sim.capture" &&
    python3 "$COMPARE" boxes "$RUN/boxes.txt" "$RUN/sim.events") || {
    echo "$compared" >&2
    fail "the run under Wine and the simulated one (updater-sim $*) differ"
    return 1
  }
  say "  like the simulated run: ${compared//$'\n'/, }"
}

# ------------------------------------------------------------------ checks

# A full update, with a HID device that is not the joystick and a pipe nobody
# serves listed before the joystick.
check_update_writes_the_image() {
  start_joystick --foreign "$FOREIGN_PIPE" --pause-after "erase:32:$PAUSE_MS" || return 1
  start_program_on "$FOREIGN_PIPE;$ABSENT_PIPE;$JOYSTICK_PIPE" || return 1
  await_identified V1.00 || return 1
  window_area || return 1
  local area=("${AREA[@]}")
  click_update || return 1
  # The joystick holds back after page 30's erase: the bar is at 30 of 68.
  # (The picture shows what Wine has put on the screen by then; now and then
  # that is still the bar of before the click.)
  await 30 "the update to reach page 30" joystick_logged ' pause ' || return 1
  screenshot_area "$ARTIFACTS/update-progress.png" "${area[@]}" || return 1
  joystick_do resume
  await_box || return 1
  expect_success_box || return 1
  expect_text "$IDC_DEVICE_VERSION" V1.12 || return 1
  expect_progress "68 0 68" || return 1
  screenshot_area "$ARTIFACTS/update-result.png" "${area[@]}" || return 1
  end_good_update || return 1
  expect_foreign_device_left_alone || return 1
  compare_with_simulation --close-at 5000
}

# Every connection to the foreign device was closed, and nothing was written to it.
expect_foreign_device_left_alone() {
  local connections
  # (The name goes through the environment: awk -v would read its backslashes.)
  connections=$(FOREIGN=$FOREIGN_PIPE awk '$3 == "open" && $4 == ENVIRON["FOREIGN"] { print $2 }' \
    "$RUN/joystick.log")
  [[ -n $connections ]] || fail "the program never opened the foreign device" || return 1
  local connection
  for connection in $connections; do
    grep -q " $connection close$" "$RUN/joystick.log" ||
      fail "the program left the foreign device open ($connection)" || return 1
    ! grep -q " $connection [WR] " "$RUN/joystick.log" ||
      fail "the program wrote to the foreign device ($connection)" || return 1
  done
}

# Unplugged after the 4th data report of page 11 (the 100th in all).
check_update_unplugged_during_page_data() {
  start_with_joystick V1.00 --unplug-after data:100 || return 1
  click_update || return 1
  expect_box "$UPDATE_ERROR" || return 1
  expect_progress "11 0 68" || return 1
  answer_box || return 1
  await_no_device || return 1
  joystick_do replug
  await_identified V1.00 || return 1
  end_program || return 1
  stop_joystick || return 1
  compare_with_simulation --unplug-after data:100 --plug-at 5000 --close-at 8000
}

# The joystick takes page 16's erase, then answers and takes nothing more:
# the erase's answer and the first data report each time out.
check_update_stalled_after_erase() {
  start_with_joystick V1.00 --stall-after erase:1 || return 1
  click_update || return 1
  expect_box "$UPDATE_ERROR" || return 1
  local stalled
  stalled=$(awk '$3 == "stall" { print $1; exit }' "$RUN/joystick.log")
  ((BOX_TICK - stalled >= TWO_TIMEOUTS_MS)) ||
    fail "the box came $((BOX_TICK - stalled)) ms after the stall, before two time-outs" ||
    return 1
  answer_box || return 1
  # The keep-alive gives up; the monitor thread finds the pipe again but
  # cannot identify what answers nothing.
  probe wait-text "$TITLE" "$IDC_DEVICE_NAME" "$UNKNOWN_DEVICE" $((SEARCH_SECONDS * 1000)) ||
    fail "the display does not show what the monitor thread finds" || return 1
  [[ $(probe item-enabled "$TITLE" "$IDC_UPDATE") == 0 ]] ||
    fail "Update is enabled for a device that was not identified" || return 1
  end_program || return 1
  stop_joystick || return 1
  compare_with_simulation --stall-after erase:1 --close-at 9000
}

check_unplug_and_replug_while_idle() {
  start_with_joystick V1.00 || return 1
  joystick_do unplug
  await_no_device || return 1
  joystick_do replug
  await_identified V1.00 || return 1
  end_program || return 1
  stop_joystick || return 1
  compare_with_simulation --no-click --unplug-at 3000 --plug-at 5000 --close-at 8000
}

check_newer_joystick_is_not_downgraded() {
  start_with_joystick V1.13 --release 113 || return 1
  click_update || return 1
  expect_box "$DOWNGRADE_REFUSED" || return 1
  answer_box || return 1
  await 10 "keep-alives after the box" joystick_logged_after ' identify$' "$KEEP_ALIVE" ||
    return 1
  end_program || return 1
  stop_joystick || return 1
  ! joystick_logged ' erase page=' || fail "the joystick was erased" || return 1
  compare_with_simulation --device-release 113 --close-at 5000
}

# Shift held: the left Shift key is pressed as typed, and the click is posted
# only once the dialog's thread has taken the press (GetKeyState reads the
# thread's own input state).
check_shift_downgrades_newer_joystick() {
  start_with_joystick V1.13 --release 113 || return 1
  probe key-down "$TITLE" "$VK_LSHIFT" "$KEY_MS" || fail "cannot hold Shift down" || return 1
  click_update || return 1
  await_box
  local boxed=$?
  # Released whatever came, so that no later check finds Shift held.
  probe key-up "$TITLE" "$VK_LSHIFT" "$KEY_MS" || fail "cannot release Shift" || return 1
  ((boxed == 0)) || return 1
  expect_success_box || return 1
  end_good_update || return 1
  compare_with_simulation --device-release 113 --shift left --close-at 5000
}

# In this order: the Shift check last, so that a Shift left down by a failure
# reaches no other check.
UPDATE_CHECKS=(
  check_update_writes_the_image
  check_update_unplugged_during_page_data
  check_update_stalled_after_erase
  check_unplug_and_replug_while_idle
  check_newer_joystick_is_not_downgraded
  check_shift_downgrades_newer_joystick
)
