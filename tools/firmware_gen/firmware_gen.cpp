// firmware_gen standin OUT.bin
//   Writes the stand-in joystick firmware image: vector table and Thumb-like
//   code in the first pages, constant data after it, erased (0xFF) pages at
//   the end. Deterministic: the same bytes on every run.
// firmware_gen tables IN.bin OUT.cpp
//   Writes the C++ source of g_FirmwareImage and g_FirmwareChecksums for an
//   image, with the joystick's own page checksum.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware.h"
#include "simwin/joystick_checksum.h"

namespace {

constexpr std::size_t kImageSize = FIRMWARE_IMAGE_SIZE;
constexpr std::size_t kPageSize = FIRMWARE_PAGE_SIZE;
constexpr std::size_t kPageCount = FIRMWARE_PAGE_COUNT;
static_assert(kPageSize == sim::kJoystickPageSize);

constexpr std::size_t kCodeEnd = 55 * kPageSize + 0x13A;  // code ends inside page 55
constexpr std::size_t kDataStart = 56 * kPageSize;        // constants from page 56
constexpr std::size_t kErasedFrom = 60 * kPageSize;       // pages 60-66 never written

// Fixed-seed generator, so the image never changes between runs.
class Lcg {
 public:
  std::uint32_t Next(std::uint32_t bound) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state_ >> 33) % bound;
  }

 private:
  std::uint64_t state_ = 0x4B657374'72756E65ull;
};

class Image {
 public:
  Image() : bytes_(kImageSize, 0xFF) {}
  std::size_t Position() const { return at_; }
  void Seek(std::size_t at) { at_ = at; }
  void Byte(std::uint8_t b) { bytes_.at(at_++) = b; }
  void Half(std::uint16_t h) {
    Byte(static_cast<std::uint8_t>(h));
    Byte(static_cast<std::uint8_t>(h >> 8));
  }
  void Word(std::uint32_t w) {
    Half(static_cast<std::uint16_t>(w));
    Half(static_cast<std::uint16_t>(w >> 16));
  }
  void Text(std::string_view s) {
    for (char c : s) Byte(static_cast<std::uint8_t>(c));
    Byte(0);
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// One function: prologue, a body of common 16-bit Thumb instructions with
// the odd branch and call, epilogue, literal pool.
void EmitFunction(Image& image, Lcg& rng, std::size_t end) {
  image.Half(0xB5F0);  // push {r4-r7, lr}
  const std::uint32_t length = 8 + rng.Next(40);
  for (std::uint32_t i = 0; i < length && image.Position() + 16 < end; ++i) {
    const std::uint16_t r1 = static_cast<std::uint16_t>(rng.Next(8));
    const std::uint16_t r2 = static_cast<std::uint16_t>(rng.Next(8));
    const std::uint16_t imm = static_cast<std::uint16_t>(rng.Next(256));
    switch (rng.Next(10)) {
      case 0:
        image.Half(0x2000 | r1 << 8 | imm);
        break;  // movs rd, #imm
      case 1:
        image.Half(0x6800 | (imm & 0x1F) << 6 | r2 << 3 | r1);
        break;  // ldr rt, [rn, #i]
      case 2:
        image.Half(0x6000 | (imm & 0x1F) << 6 | r2 << 3 | r1);
        break;  // str rt, [rn, #i]
      case 3:
        image.Half(0x1800 | (imm & 7) << 6 | r2 << 3 | r1);
        break;  // adds rd, rn, rm
      case 4:
        image.Half(0x2800 | r1 << 8 | imm);
        break;  // cmp rn, #imm
      case 5:
        image.Half(0xD000 | rng.Next(2) << 8 | (imm & 0x1F));
        break;  // beq/bne forward
      case 6:
        image.Half(0x4800 | r1 << 8 | (imm & 0x0F));
        break;  // ldr rt, [pc, #i]
      case 7:
        image.Half(0x0000 | (imm & 0x1F) << 6 | r2 << 3 | r1);
        break;  // lsls rd, rm, #i
      case 8:   // bl
        image.Half(static_cast<std::uint16_t>(0xF000 | rng.Next(0x800)));
        image.Half(static_cast<std::uint16_t>(0xF800 | rng.Next(0x800)));
        break;
      default:
        image.Half(0x4000 | rng.Next(16) << 6 | r2 << 3 | r1);
        break;  // ALU rd, rm
    }
  }
  image.Half(0xBDF0);                                 // pop {r4-r7, pc}
  if (image.Position() % 4 != 0) image.Half(0xBF00);  // nop to align the pool
  for (std::uint32_t i = rng.Next(4); i > 0 && image.Position() + 4 < end; --i) {
    image.Word(0x40000000u | rng.Next(0x30000) << 2);  // peripheral addresses
  }
}

std::vector<std::uint8_t> StandIn() {
  Image image;
  Lcg rng;

  // Vector table: initial stack pointer, then handler addresses (Thumb, odd).
  image.Word(0x20002000);
  for (int v = 1; v < 48; ++v) image.Word(v < 16 || v % 3 == 0 ? 0xC1u + 0x40u * v : 0xC1u);

  while (image.Position() + 64 < kCodeEnd) EmitFunction(image, rng, kCodeEnd);

  // Constants. The command words sit at the start of a 64-byte chunk, so a
  // data report of this image begins like a command report.
  image.Seek(kDataStart);
  for (std::uint32_t code = 0xE1; code <= 0xE6; ++code) {
    image.Word(0xA5u | code << 8 | 0x5Au << 16 | (0xFFu - code) << 24);
  }
  image.Text("Brelt Kestrune Arcade Joystick");
  image.Text("V1.12");
  image.Seek(kDataStart + 128);
  for (int i = 0; i < 256; ++i) {  // quarter sine wave, for the LED fader
    static constexpr double kQuarter = 1.5707963267948966;
    const double x = kQuarter * i / 255.0;
    const double sine =
        x - x * x * x / 6 + x * x * x * x * x / 120 - x * x * x * x * x * x * x / 5040;
    image.Byte(static_cast<std::uint8_t>(sine * 255.0 + 0.5));
  }
  for (int button = 0; button < 12; ++button) {  // button to report bit map
    image.Byte(static_cast<std::uint8_t>(button));
    image.Byte(static_cast<std::uint8_t>(1u << (button % 8)));
  }
  for (std::size_t i = image.Position(); i < kErasedFrom - 256; ++i) {
    image.Byte(static_cast<std::uint8_t>(rng.Next(256)));  // calibration and key tables
  }
  return image.Bytes();
}

bool WriteFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) std::cerr << "firmware_gen: cannot write " << path << "\n";
  return static_cast<bool>(out);
}

std::string Tables(const std::vector<std::uint8_t>& image, const std::string& source) {
  std::ostringstream out;
  char hex[16];
  out << "// Generated by tools/firmware_gen from " << source << "; do not edit.\n"
      << "// clang-format off\n"
      << "#include \"firmware.h\"\n\n"
      << "const unsigned char g_FirmwareImage[FIRMWARE_IMAGE_SIZE] = {\n";
  for (std::size_t i = 0; i < image.size(); ++i) {
    std::snprintf(hex, sizeof hex, "0x%02x,", image[i]);
    out << (i % 16 == 0 ? "    " : " ") << hex << (i % 16 == 15 ? "\n" : "");
  }
  out << "};\n\n"
      << "// Word p + 1: the joystick's checksum of page p.\n"
      << "const std::uint32_t g_FirmwareChecksums[FIRMWARE_PAGE_COUNT + 2] = {\n    0x00000000,";
  for (std::size_t p = 0; p < kPageCount; ++p) {
    const std::span<const std::uint8_t, kPageSize> page(image.data() + p * kPageSize, kPageSize);
    std::snprintf(hex, sizeof hex, "0x%08x,", sim::JoystickPageChecksum(page));
    out << ((p + 1) % 8 == 0 ? "\n    " : " ") << hex;
  }
  out << " 0x00000000,\n};\n";
  return out.str();
}

int Usage() {
  std::cerr << "usage: firmware_gen standin OUT.bin\n"
               "       firmware_gen tables IN.bin OUT.cpp\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "standin") {
    const std::vector<std::uint8_t> image = StandIn();
    return WriteFile(args[1],
                     std::string_view(reinterpret_cast<const char*>(image.data()), image.size()))
               ? 0
               : 1;
  }
  if (args.size() == 3 && args[0] == "tables") {
    std::ifstream in(args[1], std::ios::binary);
    if (!in) {
      std::cerr << "firmware_gen: cannot read " << args[1] << "\n";
      return 1;
    }
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (image.size() != kImageSize) {
      std::cerr << "firmware_gen: " << args[1] << " is " << image.size() << " bytes, not "
                << kImageSize << " (67 pages of 512): not a joystick firmware image\n";
      return 1;
    }
    const std::string name = args[1].substr(args[1].find_last_of('/') + 1);
    return WriteFile(args[2], Tables(image, "firmware/" + name)) ? 0 : 1;
  }
  return Usage();
}
