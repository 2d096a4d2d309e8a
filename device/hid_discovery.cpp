// Finding the joystick among the HID interfaces present.
#include <atomic>
#include <cstddef>
#include <new>

#include "app/UpdateFirmwareDlg.h"
#include "device/device_link.h"

namespace {

// The fixed part of the detail record: its size field and the first path
// character (5 bytes on 32-bit Windows, 8 on 64-bit).
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
// Paths longer than this are not HID interface paths; refusing them keeps a
// bogus size report from becoming a huge allocation.
constexpr DWORD kDetailMaxSize = 64 * 1024;

}  // namespace

HANDLE OpenHidDevice(const GUID& interfaceClass, DWORD index) {
  HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return nullptr;

  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &interfaceData)) {
    SetupDiDestroyDeviceInfoList(set);
    return nullptr;
  }

  // The size query fails by design (no buffer); only the size it reports
  // matters. A size that cannot hold the fixed part is treated like a failed
  // detail query, so the buffer is never shorter than the record.
  DWORD requiredSize = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &requiredSize, nullptr);
  if (requiredSize <= kDetailFixedSize || requiredSize > kDetailMaxSize) {
    SetupDiDestroyDeviceInfoList(set);
    return nullptr;
  }
  auto* detail =
      static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(::operator new(requiredSize, std::nothrow));
  if (detail == nullptr) {
    SetupDiDestroyDeviceInfoList(set);
    return nullptr;
  }
  detail->cbSize = kDetailFixedSize;
  if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, requiredSize, nullptr,
                                        nullptr)) {
    SetupDiDestroyDeviceInfoList(set);
    ::operator delete(detail);
    return nullptr;
  }
  // Guard the path's end even if the platform left it unterminated.
  reinterpret_cast<char*>(detail)[requiredSize - 1] = '\0';

  HANDLE hDevice = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ::operator delete(detail);
  SetupDiDestroyDeviceInfoList(set);
  return hDevice;
}

namespace {

// Stores each interface tried in `field` and leaves the joystick's open handle
// there (TRUE) or null (FALSE).
BOOL StoreFirstJoystick(std::atomic<HANDLE>& field) {
  GUID hidClass;
  HidD_GetHidGuid(&hidClass);
  for (DWORD index = 0;; ++index) {
    field = OpenHidDevice(hidClass, index);
    HANDLE hDevice = field.load();
    if (hDevice == nullptr) return FALSE;
    if (hDevice == INVALID_HANDLE_VALUE) continue;  // exists but cannot be opened

    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (HidD_GetAttributes(hDevice, &attributes) != TRUE) {
      // Nobody else holds this handle: close it rather than leak it.
      CloseHandle(hDevice);
      continue;
    }
    if (attributes.VendorID == JOYSTICK_VENDOR_ID && attributes.ProductID == JOYSTICK_PRODUCT_ID) {
      return TRUE;
    }
    CloseHandle(hDevice);
  }
}

}  // namespace

BOOL CUpdateFirmwareDlg::FindDevice() {
  // The handle held before (the monitor thread's, when the Update command
  // searches again) is replaced. It is closed only once the field no longer
  // holds it, so that the field never reads null during a search that finds
  // the joystick; the caller holds the link, so no other thread uses it.
  const HANDLE hPrevious = m_hDevice.load();
  const BOOL found = StoreFirstJoystick(m_hDevice);
  if (hPrevious != nullptr && hPrevious != INVALID_HANDLE_VALUE) CloseHandle(hPrevious);
  return found;
}
