#!/usr/bin/env python3
"""Compares a run of UpdateFirmware.exe under Wine against the stand-in
joystick (uf_joystick's log) with the same scenario on the simulated Windows
(updater-sim's capture and events). Used by run_wine_checks.sh.

  compare_runs.py transfers JOYSTICK_LOG CAPTURE
      The program's successful writes and reads, in order and byte for byte;
      a run of identical keep-alive writes counts as one (how many fit in
      between depends on timing), its bytes still compared.
  compare_runs.py boxes BOXES EVENTS
      The message boxes, caption and text, in order. BOXES has one line per
      box as uf_probe wait-box prints it, without the tick.
  compare_runs.py checksum-sum JOYSTICK_LOG
      Prints 0x%08X: the sum of the page checksums the joystick answered.

Exit status: 0 alike, 1 different (the first difference is printed), 2 bad use.
"""

import re
import sys

KEEP_ALIVE = "a5e25a1d"  # bytes 1-4 of a keep-alive command report
CHECKSUM_ANSWER = "a5e55a1a"  # bytes 1-4 of the answer to a read-checksum command
CONTEXT = 3


def transfers(path):
    """(W|R, hex) of each successful transfer, keep-alive runs folded."""
    result = []
    with open(path, encoding="ascii") as lines:
        for line in lines:
            fields = line.split()
            if len(fields) < 5 or fields[2] not in ("W", "R") or fields[3] != "ok":
                continue
            transfer = (fields[2], fields[4])
            keep_alive = transfer[0] == "W" and transfer[1][2:10] == KEEP_ALIVE
            if keep_alive and result and result[-1] == transfer:
                continue
            result.append(transfer)
    return result


def describe(transfers_, index):
    lines = []
    for i in range(max(0, index - CONTEXT), min(len(transfers_), index + CONTEXT + 1)):
        marker = ">" if i == index else " "
        direction, data = transfers_[i]
        lines.append(f"  {marker} {i:4} {direction} {data}")
    return "\n".join(lines) if lines else "  (nothing)"


def compare_transfers(joystick_log, capture):
    wine, simulated = transfers(joystick_log), transfers(capture)
    for index in range(max(len(wine), len(simulated))):
        if index < len(wine) and index < len(simulated) and wine[index] == simulated[index]:
            continue
        print(f"transfer {index} differs ({len(wine)} under Wine, {len(simulated)} simulated)")
        print(f"under Wine ({joystick_log}):\n{describe(wine, index)}")
        print(f"simulated ({capture}):\n{describe(simulated, index)}")
        return 1
    print(f"{len(wine)} transfers alike")
    return 0


def compare_boxes(boxes_file, events_file):
    with open(boxes_file, encoding="utf-8") as lines:
        wine = [line.rstrip("\n") for line in lines if line.strip()]
    box_event = re.compile(r'^\d+ box (".*") \d+$')
    with open(events_file, encoding="utf-8") as lines:
        simulated = [m.group(1) for m in map(box_event.match, lines) if m]
    if wine != simulated:
        print("the message boxes differ")
        print("under Wine:\n" + "\n".join("  " + box for box in wine))
        print("simulated:\n" + "\n".join("  " + box for box in simulated))
        return 1
    print(f"{len(wine)} message boxes alike")
    return 0


def checksum_sum(joystick_log):
    total = 0
    for direction, data in transfers(joystick_log):
        if direction == "R" and data[2:10] == CHECKSUM_ANSWER:
            total += int.from_bytes(bytes.fromhex(data[10:18]), "little")
    print(f"0x{total & 0xFFFFFFFF:08X}")
    return 0


def main(argv):
    commands = {"transfers": (compare_transfers, 2), "boxes": (compare_boxes, 2),
                "checksum-sum": (checksum_sum, 1)}
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != commands[argv[1]][1]:
        print(__doc__, file=sys.stderr)
        return 2
    function, _ = commands[argv[1]]
    return function(*argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
