#include "simwin/joystick.h"

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

bool IsCommandWord(const HidReport& r) {
  return r[1] == 0xA5 && r[3] == 0x5A && r[4] == static_cast<std::uint8_t>(0xFF - r[2]);
}

std::uint32_t Le32(const HidReport& r, std::size_t at) {
  return static_cast<std::uint32_t>(r[at]) | static_cast<std::uint32_t>(r[at + 1]) << 8 |
         static_cast<std::uint32_t>(r[at + 2]) << 16 | static_cast<std::uint32_t>(r[at + 3]) << 24;
}

// The page an address names, when it is the start of a page of the flash.
std::optional<std::size_t> PageOfAddress(std::uint32_t address) {
  if (address % kJoystickPageSize != 0 || address / kJoystickPageSize >= kJoystickPageCount) {
    return std::nullopt;
  }
  return address / kJoystickPageSize;
}

}  // namespace

Joystick::Joystick(JoystickOptions options) : options_(options), release_(options.release) {
  // The old firmware: some content that is not the carried image and not erased.
  for (std::size_t i = 0; i < flash_.size(); ++i) {
    flash_[i] = static_cast<std::uint8_t>(i * 131 + 17);
  }
}

std::span<const std::uint8_t, kJoystickPageSize> Joystick::FlashPage(std::size_t page) const {
  if (page >= kJoystickPageCount) throw std::out_of_range("Joystick::FlashPage");
  return std::span<const std::uint8_t, kJoystickPageSize>(flash_.data() + page * kJoystickPageSize,
                                                          kJoystickPageSize);
}

void Joystick::PowerCycle() {
  pageBuffer_.fill(0xFF);
  bufferedChunks_ = 0;
  erasedPage_.reset();
  expectedData_ = 0;
}

bool Joystick::AllProgrammed() const {
  return std::all_of(programmed_.begin(), programmed_.end(), [](bool p) { return p; });
}

std::size_t Joystick::EventCount(JoystickEvent::Kind kind) const {
  return static_cast<std::size_t>(std::count_if(
      events_.begin(), events_.end(), [kind](const JoystickEvent& e) { return e.kind == kind; }));
}

// An ack echoes the command word; identity and checksum answers carry their
// values in bytes 5-8.
HidReport Joystick::Answer(const HidReport& command) const {
  HidReport answer{};
  std::copy(command.begin() + 1, command.begin() + 5, answer.begin() + 1);
  return answer;
}

std::optional<HidReport> Joystick::Receive(const HidReport& report, std::uint64_t now) {
  using Kind = JoystickEvent::Kind;
  JoystickEvent event{.at = now};

  // After an erase the device takes the next eight reports as the page's data,
  // whatever they look like: an image chunk may begin with a command word.
  if (expectedData_ > 0 || !IsCommandWord(report)) {
    event.kind = expectedData_ > 0 ? Kind::kData : Kind::kStrayData;
    event.accepted = expectedData_ > 0;
    if (expectedData_ > 0) {
      std::copy(report.begin() + 1, report.end(),
                pageBuffer_.begin() + bufferedChunks_ * kJoystickChunkSize);
      ++bufferedChunks_;
      --expectedData_;
    }
    events_.push_back(event);
    return std::nullopt;
  }

  std::optional<HidReport> answer;
  switch (report[2]) {
    case kCmdIdentify: {
      event.kind = Kind::kIdentify;
      answer = Answer(report);
      std::array<std::uint8_t, 4> bytes{static_cast<std::uint8_t>(options_.deviceType >> 8),
                                        static_cast<std::uint8_t>(options_.deviceType & 0xFF),
                                        static_cast<std::uint8_t>(release_ >> 8),
                                        static_cast<std::uint8_t>(release_ & 0xFF)};
      if (identityOverride_) bytes = *identityOverride_;
      std::copy(bytes.begin(), bytes.end(), answer->begin() + 5);
      break;
    }
    case kCmdPing:
      event.kind = Kind::kPing;
      break;
    case kCmdErasePage: {
      event.kind = Kind::kErase;
      event.address = Le32(report, 5);
      event.page = report[9];
      const auto page = PageOfAddress(event.address);
      // The data reports follow even when the address is refused; the device
      // must not mistake them for commands.
      expectedData_ = kJoystickChunksPerPage;
      bufferedChunks_ = 0;
      pageBuffer_.fill(0xFF);
      erasedPage_ = page;
      if (page) {
        std::fill_n(flash_.begin() + *page * kJoystickPageSize, kJoystickPageSize, 0xFF);
        programmed_[*page] = false;
      } else {
        event.accepted = false;
      }
      answer = Answer(report);
      break;
    }
    case kCmdProgramPage:
      event.kind = Kind::kProgram;
      if (erasedPage_) {
        event.page = static_cast<std::uint8_t>(*erasedPage_);
        std::copy(pageBuffer_.begin(), pageBuffer_.end(),
                  flash_.begin() + *erasedPage_ * kJoystickPageSize);
        programmed_[*erasedPage_] = true;
        erasedPage_.reset();
        // With every page written, the new firmware answers with its release.
        if (AllProgrammed()) release_ = options_.updatedRelease;
      } else {
        event.accepted = false;
      }
      answer = Answer(report);
      break;
    case kCmdReadChecksum: {
      event.kind = Kind::kReadChecksum;
      event.address = Le32(report, 5);
      answer = Answer(report);
      std::uint32_t checksum = 0;
      if (const auto page = PageOfAddress(event.address)) {
        event.page = static_cast<std::uint8_t>(*page);
        checksum = JoystickPageChecksum(FlashPage(*page));
        if (badChecksumPages_.contains(*page)) checksum ^= 0x8001;
      } else {
        event.accepted = false;
      }
      for (std::size_t i = 0; i < 4; ++i) {
        (*answer)[5 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
      }
      break;
    }
    case kCmdFinish:
      event.kind = Kind::kFinish;
      if (AllProgrammed()) {
        updateCompleted_ = true;
      } else {
        event.accepted = false;
      }
      break;
    default:
      event.kind = Kind::kUnknownCommand;
      event.accepted = false;
      break;
  }
  events_.push_back(event);
  return answer;
}

}  // namespace sim
