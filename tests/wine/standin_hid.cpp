// A stand-in hid.dll for the Wine end-to-end checks: the two HID calls that
// UpdateFirmware.exe makes, for the interfaces that the stand-in setupapi.dll
// lists (named pipes served by the joystick emulator).
#include <cwctype>
#include <optional>
#include <string_view>

#include "standin.h"
extern "C" {
#include <hidsdi.h>
}

namespace {

// The four hexadecimal digits that follow `key` ("vid_", "pid_") in `name`,
// letter case ignored.
std::optional<USHORT> HexAfter(std::wstring_view name, std::wstring_view key) {
  constexpr std::size_t kDigits = 4;
  for (std::size_t at = 0; at + key.size() + kDigits <= name.size(); ++at) {
    if (_wcsnicmp(name.data() + at, key.data(), key.size()) != 0) continue;
    unsigned value = 0;
    std::size_t digit = 0;
    for (; digit < kDigits; ++digit) {
      const wchar_t c = static_cast<wchar_t>(std::towlower(name[at + key.size() + digit]));
      if (c >= L'0' && c <= L'9') {
        value = value * 16 + static_cast<unsigned>(c - L'0');
      } else if (c >= L'a' && c <= L'f') {
        value = value * 16 + static_cast<unsigned>(c - L'a' + 10);
      } else {
        break;
      }
    }
    if (digit == kDigits) return static_cast<USHORT>(value);
  }
  return std::nullopt;
}

}  // namespace

extern "C" void NTAPI HidD_GetHidGuid(LPGUID hidGuid) {
  if (hidGuid != nullptr) *hidGuid = standin::kHidInterfaceClass;
}

// A HID driver answers this from the device descriptor it keeps, without a
// transfer; the stand-in reads the ids from the pipe's name, so nothing goes
// through the pipe either.
extern "C" BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  if (attributes == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  union {
    FILE_NAME_INFO info;
    BYTE bytes[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
  } name{};
  if (!GetFileInformationByHandleEx(device, FileNameInfo, &name, sizeof name)) return FALSE;
  const std::wstring_view path(name.info.FileName, name.info.FileNameLength / sizeof(WCHAR));
  const std::optional<USHORT> vendor = HexAfter(path, L"vid_");
  const std::optional<USHORT> product = HexAfter(path, L"pid_");
  if (!vendor || !product) {
    SetLastError(ERROR_INVALID_FUNCTION);  // not one of the stand-in's interfaces
    return FALSE;
  }
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = *vendor;
  attributes->ProductID = *product;
  attributes->VersionNumber = 0;
  return TRUE;
}
