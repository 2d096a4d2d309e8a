// A stand-in setupapi.dll for the Wine end-to-end checks: the four setup
// calls that UpdateFirmware.exe makes to list HID interfaces. The HID
// interface set holds the named pipes listed in UF_HID_PIPES, in that order;
// with DIGCF_PRESENT a pipe is listed only while a server holds an instance
// of it, as an interface is listed only while its device is plugged in.
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#define _SETUPAPI_  // this module defines the functions setupapi.h declares
#include "standin.h"
// clang-format off
#include <setupapi.h>
// clang-format on

namespace {

// The device setup class of HID devices, answered in SP_DEVINFO_DATA.
constexpr GUID kHidDeviceClass = {
    0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

struct InterfaceSet {
  std::vector<std::string> paths;
};

// The sets handed out and not yet destroyed, by handle: a handle is looked
// up before it is used, so a stale or foreign one fails cleanly.
std::mutex g_lock;
std::map<HDEVINFO, std::unique_ptr<InterfaceSet>> g_sets;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

template <class T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

std::vector<std::string> ListedPipes() {
  std::vector<std::string> pipes;
  const DWORD size = GetEnvironmentVariableA(standin::kPipeListVariable, nullptr, 0);
  if (size == 0) return pipes;
  std::string list(size, '\0');
  list.resize(GetEnvironmentVariableA(standin::kPipeListVariable, list.data(), size));
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) pipes.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return pipes;
}

// A pipe exists while its server holds an instance: WaitNamedPipe then
// succeeds (an instance is listening) or times out (every instance is in
// use); for a name nobody serves it fails at once.
bool PipePresent(const std::string& path) {
  if (WaitNamedPipeA(path.c_str(), 1)) return true;
  return GetLastError() == ERROR_SEM_TIMEOUT;
}

const InterfaceSet* Lookup(HDEVINFO handle) {
  const auto found = g_sets.find(handle);
  return found == g_sets.end() ? nullptr : found->second.get();
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator,
                                                HWND /*parent*/, DWORD flags) {
  // Only interface sets of one class (or of all), with no enumerator, exist here.
  if (enumerator != nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0 ||
      ((flags & DIGCF_ALLCLASSES) == 0 && classGuid == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  try {
    auto set = std::make_unique<InterfaceSet>();
    if ((flags & DIGCF_ALLCLASSES) != 0 || SameGuid(*classGuid, standin::kHidInterfaceClass)) {
      for (std::string& path : ListedPipes()) {
        if ((flags & DIGCF_PRESENT) == 0 || PipePresent(path)) set->paths.push_back(path);
      }
    }
    const HDEVINFO handle = set.get();
    const std::lock_guard hold(g_lock);
    g_sets.emplace(handle, std::move(set));
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                                   const GUID* interfaceClass, DWORD index,
                                                   PSP_DEVICE_INTERFACE_DATA data) {
  const std::lock_guard hold(g_lock);
  const InterfaceSet* set = Lookup(handle);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // The interfaces of one device of the set are not listed separately here.
  if (device != nullptr || interfaceClass == nullptr || data == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (!SameGuid(*interfaceClass, standin::kHidInterfaceClass) || index >= set->paths.size()) {
    return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  }
  data->InterfaceClassGuid = standin::kHidInterfaceClass;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = static_cast<ULONG_PTR>(index) + 1;  // which entry the detail call asks for
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle,
                                                        PSP_DEVICE_INTERFACE_DATA data,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                        DWORD detailSize, PDWORD requiredSize,
                                                        PSP_DEVINFO_DATA device) {
  const std::lock_guard hold(g_lock);
  const InterfaceSet* set = Lookup(handle);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (data->Reserved == 0 || data->Reserved > set->paths.size()) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const std::string& path = set->paths[data->Reserved - 1];
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    return Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER, FALSE);
  }
  // cbSize holds the size of the record's fixed part, not of the buffer.
  if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA))) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (device != nullptr) {
    device->ClassGuid = kHidDeviceClass;
    device->DevInst = static_cast<DWORD>(data->Reserved);
    device->Reserved = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  const std::lock_guard hold(g_lock);
  if (g_sets.erase(handle) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
