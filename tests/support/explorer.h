// Randomised schedules for the whole program: one seed gives one timeline of
// devices coming and going, device faults, user input and the closing of the
// dialog, run on a fresh simulated machine and checked against the
// invariants that hold for every run (see RunSeed).
//
//   const uft::ExploreResult r = uft::RunSeed(42);
//   if (!r.ok) std::cerr << r.Describe();
//
// Everything follows from the seed, so a failing seed replays exactly with
// ReplayCommand(seed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace uft {

struct ExploreResult {
  std::uint64_t seed = 0;
  bool ok = true;
  std::vector<std::string> failures;  // one line per violated invariant

  // What happened, for the failure report and the replay comparison.
  std::string plan;     // the planned timeline, one line per step
  std::string actions;  // what the script did, with virtual times
  std::string events;   // the machine's event log
  std::string capture;  // every report transfer, capture format
  std::string boxes;    // every message box: time, caption, text, cursor
  std::string report;   // the run's own report (outcome, hang details)

  // Figures.
  std::uint64_t virtualMs = 0;  // virtual time when the dialog had gone
  int updates = 0;              // updates started (identity query after a click)
  int okBoxes = 0;
  int errorBoxes = 0;
  std::size_t transfers = 0;

  // Seed, failures, plan, actions and the replay command.
  std::string Describe() const;
};

// Builds the seed's timeline, runs the program through it and checks:
//  - the run ended with the program's exit (no deadlock, no time limit);
//  - every update shows exactly one box, with the normal cursor; an update
//    starts with the user-interface thread's identity query;
//  - "OK" only when that joystick's flash holds the carried image and the
//    device has completed the update, with the checksum sum of the table;
//    "Error" never after the device accepted the finish command;
//  - no monitor-thread transfer between the first and last transfer of an
//    update, and no keep-alive from a pass that took the link after the
//    Update command had paused the monitor and before its box was answered,
//    judged in the run's order of events;
//  - every program thread (the monitor thread with exit code 1) returned by
//    itself before the run ended, and the monitor thread had made its last
//    access to the dialog before the dialog went;
//  - after the run, no handle other than at most one device handle is open,
//    and no device information set;
//  - the dialog closes promptly, and after a quiet spell the display matches
//    the joysticks present.
ExploreResult RunSeed(std::uint64_t seed);

// The command line that replays one seed with the explorer tool.
std::string ReplayCommand(std::uint64_t seed);

}  // namespace uft
