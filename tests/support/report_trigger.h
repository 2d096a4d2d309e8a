// "After the joystick's Nth report of a kind": where a fault injected by
// report begins. updater-sim and the Wine joystick emulator (uf_joystick)
// read the same words, so one fault can be asked of both.
//
//   KIND:N   KIND is identify, ping, erase, data, program, checksum, finish,
//            or report (any report); N counts from 1 over the whole run.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "simwin/joystick.h"

namespace uft {

struct ReportTrigger {
  std::optional<sim::JoystickEvent::Kind> kind;  // empty: any report
  std::uint64_t count = 0;

  // True once the joystick has taken `count` reports of the kind.
  bool Reached(const sim::Joystick& joystick) const {
    const std::size_t taken = kind ? joystick.EventCount(*kind) : joystick.Events().size();
    return taken >= count;
  }
};

// The word for a kind of report, as KIND and the emulator's log write it.
inline const char* ReportKindName(sim::JoystickEvent::Kind kind) {
  using Kind = sim::JoystickEvent::Kind;
  switch (kind) {
    case Kind::kIdentify:
      return "identify";
    case Kind::kPing:
      return "ping";
    case Kind::kErase:
      return "erase";
    case Kind::kData:
      return "data";
    case Kind::kProgram:
      return "program";
    case Kind::kReadChecksum:
      return "checksum";
    case Kind::kFinish:
      return "finish";
    case Kind::kUnknownCommand:
      return "unknown-command";
    case Kind::kStrayData:
      return "stray-data";
  }
  return "report";
}

// "data:100" -> the 100th data report. Throws std::invalid_argument.
inline ReportTrigger ParseReportTrigger(const std::string& text) {
  using Kind = sim::JoystickEvent::Kind;
  const auto colon = text.find(':');
  const std::string word = text.substr(0, colon);
  ReportTrigger trigger;
  if (word != "report") {
    for (Kind kind : {Kind::kIdentify, Kind::kPing, Kind::kErase, Kind::kData, Kind::kProgram,
                      Kind::kReadChecksum, Kind::kFinish}) {
      if (word == ReportKindName(kind)) trigger.kind = kind;
    }
    if (!trigger.kind) throw std::invalid_argument("unknown kind of report: " + word);
  }
  const std::string number = colon == std::string::npos ? "" : text.substr(colon + 1);
  std::size_t used = 0;
  if (!number.empty() && number[0] >= '0' && number[0] <= '9') {
    try {
      trigger.count = std::stoull(number, &used, 0);
    } catch (const std::out_of_range&) {
      used = 0;
    }
  }
  if (used == 0 || used != number.size() || trigger.count == 0) {
    throw std::invalid_argument("expected KIND:N with N from 1, got " + text);
  }
  return trigger;
}

}  // namespace uft
