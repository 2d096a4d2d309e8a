// The simulated arcade joystick: what the device does with each 65-byte output
// report and which input report it answers with. The model knows nothing of
// handles, threads or time; the HID bus (simwin/hid.h) carries reports to and
// from it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "simwin/joystick_checksum.h"

namespace sim {

inline constexpr std::size_t kHidReportSize = 65;  // report id byte + 64 payload bytes
inline constexpr std::size_t kJoystickPageCount = 67;
inline constexpr std::size_t kJoystickChunkSize = 64;
inline constexpr std::size_t kJoystickChunksPerPage = kJoystickPageSize / kJoystickChunkSize;
inline constexpr std::size_t kJoystickFlashSize = kJoystickPageCount * kJoystickPageSize;

using HidReport = std::array<std::uint8_t, kHidReportSize>;

// Command codes (byte 2 of a command report).
enum JoystickCommandCode : std::uint8_t {
  kCmdIdentify = 0xE1,
  kCmdPing = 0xE2,
  kCmdErasePage = 0xE3,
  kCmdProgramPage = 0xE4,
  kCmdReadChecksum = 0xE5,
  kCmdFinish = 0xE6,
};

struct JoystickOptions {
  std::uint16_t deviceType = 0x0420;
  std::uint16_t release = 0x0100;         // firmware release before any update
  std::uint16_t updatedRelease = 0x0112;  // reported once every page has been written
};

// One report as the device understood it.
struct JoystickEvent {
  enum class Kind {
    kIdentify,
    kPing,
    kErase,
    kData,
    kProgram,
    kReadChecksum,
    kFinish,
    kUnknownCommand,  // a command word with a code the device does not know
    kStrayData,       // not a command word, and no erase is waiting for data
  };
  std::uint64_t at = 0;  // virtual ms, as given by the bus
  Kind kind = Kind::kPing;
  std::uint32_t address = 0;  // erase, read checksum: bytes 5-8
  std::uint8_t page = 0;      // erase: byte 9; program: the page written
  bool accepted = true;       // false: ignored (bad address, program without erase, ...)
};

class Joystick {
 public:
  explicit Joystick(JoystickOptions options = {});

  // Takes one output report (byte 0 is the report id) and returns the input
  // report the device queues in answer, if any.
  std::optional<HidReport> Receive(const HidReport& report, std::uint64_t now);

  // Unplugged and plugged in again: the flash keeps its content, a page
  // buffer or an erase waiting for data does not survive.
  void PowerCycle();

  // ---- observation ----
  std::span<const std::uint8_t, kJoystickFlashSize> Flash() const { return flash_; }
  std::span<const std::uint8_t, kJoystickPageSize> FlashPage(std::size_t page) const;
  // Programmed since its last erase.
  bool Programmed(std::size_t page) const { return programmed_.at(page); }
  bool AllProgrammed() const;
  // True once a finish command came while every page was programmed.
  bool UpdateCompleted() const { return updateCompleted_; }
  std::uint16_t Release() const { return release_; }
  std::uint16_t DeviceType() const { return options_.deviceType; }
  const std::vector<JoystickEvent>& Events() const { return events_; }
  std::size_t EventCount(JoystickEvent::Kind kind) const;

  // ---- configuration and faults ----
  void SetDeviceType(std::uint16_t type) { options_.deviceType = type; }
  void SetRelease(std::uint16_t release) { release_ = release; }
  // Answers the identity query with these bytes 5-8 instead of the real ones
  // (type high byte, type low byte, release high byte, release low byte).
  void OverrideIdentity(std::optional<std::array<std::uint8_t, 4>> bytes5to8) {
    identityOverride_ = bytes5to8;
  }
  // The checksum answer for this page is corrupted (every time it is asked).
  void BadChecksumForPage(std::size_t page) { badChecksumPages_.insert(page); }
  void ClearBadChecksums() { badChecksumPages_.clear(); }

 private:
  HidReport Answer(const HidReport& command) const;

  JoystickOptions options_;
  std::uint16_t release_;
  std::array<std::uint8_t, kJoystickFlashSize> flash_{};
  std::array<bool, kJoystickPageCount> programmed_{};
  std::array<std::uint8_t, kJoystickPageSize> pageBuffer_{};
  std::size_t bufferedChunks_ = 0;
  std::optional<std::size_t> erasedPage_;  // the page the next program writes
  std::size_t expectedData_ = 0;           // data reports still due after an erase
  bool updateCompleted_ = false;
  std::optional<std::array<std::uint8_t, 4>> identityOverride_;
  std::set<std::size_t> badChecksumPages_;
  std::vector<JoystickEvent> events_;
};

}  // namespace sim
