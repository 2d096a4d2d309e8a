// The setup API, HID and file calls of the simulated Windows, on the HID bus.
#include <algorithm>
#include <cstring>

#include "hid_internal.h"
#include "simwin/machine.h"

namespace sim {
namespace {

constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// The device setup class of HID devices (what SP_DEVINFO_DATA carries).
constexpr GUID kHidDeviceClass = {
    0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
constexpr DWORD kSpintActive = 0x1;

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}

HidBus::State& Bus() {
  HidBus::State& s = Machine::Current().Hid().Internal();
  s.ApplyDue();
  return s;
}

template <class T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

DevInfoSet* FindSet(HidBus::State& s, HDEVINFO set) {
  auto it = s.sets.find(set);
  return it == s.sets.end() ? nullptr : it->second.get();
}

// Clears `busy` when the transfer ends, whichever way.
class BusyHandle {
 public:
  explicit BusyHandle(HidFile& file) : file_(file) { file_.busy = true; }
  ~BusyHandle() { file_.busy = false; }
  BusyHandle(const BusyHandle&) = delete;
  BusyHandle& operator=(const BusyHandle&) = delete;

 private:
  HidFile& file_;
};

class SynchronousIo {
 public:
  SynchronousIo() { BeginSynchronousIo(); }
  ~SynchronousIo() { EndSynchronousIo(); }
  SynchronousIo(const SynchronousIo&) = delete;
  SynchronousIo& operator=(const SynchronousIo&) = delete;
};

DWORD WaitError(WaitEnd end) {
  return end == WaitEnd::kDisconnected ? ERROR_DEVICE_NOT_CONNECTED : ERROR_OPERATION_ABORTED;
}

// One WriteFile or ReadFile on a HID handle; every call is captured.
BOOL Transfer(HidBus::State& s, HidFile& file, bool write, std::uint8_t* buffer, DWORD length,
              LPDWORD count, LPOVERLAPPED overlapped) {
  HidInterface& d = file.Device();
  auto finish = [&](bool ok, DWORD error) -> BOOL {
    HidTransfer t;
    t.at = Now();
    t.seq = NextSequence();
    t.thread = CurrentThreadId();
    t.device = d.id;
    t.write = write;
    t.ok = ok;
    t.error = ok ? ERROR_SUCCESS : error;
    if (buffer != nullptr) t.bytes.assign(buffer, buffer + std::min<DWORD>(length, kHidReportSize));
    s.capture.push_back(std::move(t));
    if (!ok) SetLastError(error);
    return ok ? TRUE : FALSE;
  };

  bool failInjected = write ? d.faults.writes.Next() : d.faults.reads.Next();
  if (d.faults.failIf && d.faults.failIf(CurrentThreadId(), write, buffer)) failInjected = true;
  if (count != nullptr) race::AsProgram([count] { *count = 0; });
  // Synchronous I/O only: an overlapped structure, or a handle opened for
  // overlapped I/O, is a use the program does not make.
  if (overlapped != nullptr || (file.Flags() & FILE_FLAG_OVERLAPPED) != 0 || count == nullptr ||
      buffer == nullptr) {
    return finish(false, ERROR_INVALID_PARAMETER);
  }
  if ((file.Access() & (write ? GENERIC_WRITE : GENERIC_READ)) == 0) {
    return finish(false, ERROR_ACCESS_DENIED);
  }
  if (!file.Connected()) return finish(false, ERROR_DEVICE_NOT_CONNECTED);
  // The HID class driver takes only whole reports of the device's report
  // length, report id byte included; a device without report ids wants id 0.
  if (length != kHidReportSize || d.spec.model == HidModel::kForeignRejecting ||
      (write && buffer[0] != 0)) {
    return finish(false, ERROR_INVALID_PARAMETER);
  }

  SynchronousIo io;
  const std::string what = std::string(write ? "WriteFile(" : "ReadFile(") + d.ModelName() + ")";
  // I/O on one synchronous handle is serialised: wait behind a pending call.
  if (WaitEnd end = s.Wait(
          file, [&] { return !file.busy; }, std::nullopt, false, what);
      end != WaitEnd::kReady) {
    return finish(false, WaitError(end));
  }
  BusyHandle busy(file);

  ++d.transfers;
  if (d.faults.unplugAtTransfer == d.transfers) {
    s.DoUnplug(d);
    return finish(false, ERROR_DEVICE_NOT_CONNECTED);
  }
  if (failInjected) return finish(false, write ? d.faults.writes.error : d.faults.reads.error);

  const Ticks latency = d.spec.latency + (write ? 0 : d.faults.extraReadLatency);
  if (WaitEnd end = s.Wait(
          file, [] { return false; }, Now() + latency, true, what);
      end != WaitEnd::kReady) {
    return finish(false, WaitError(end));
  }

  if (write) {
    HidReport report;
    race::AsProgram([&] { std::copy_n(buffer, kHidReportSize, report.begin()); });
    if (d.joystick) {
      if (auto answer = d.joystick->Receive(report, Now())) {
        for (auto& weak : d.files) {
          if (auto other = weak.lock()) other->Deliver(*answer);
        }
      }
    }
  } else {
    // A read waits for an input report; none may ever come.
    if (WaitEnd end = s.Wait(
            file, [&] { return !file.input.empty(); }, std::nullopt, true, what);
        end != WaitEnd::kReady) {
      return finish(false, WaitError(end));
    }
    const HidReport report = file.input.front();
    file.input.pop_front();
    race::AsProgram([&] { std::copy(report.begin(), report.end(), buffer); });
  }
  race::AsProgram([count] { *count = kHidReportSize; });
  return finish(true, ERROR_SUCCESS);
}

}  // namespace
}  // namespace sim

using sim::Fail;

void HidD_GetHidGuid(LPGUID hidGuid) {
  const sim::ApiCall apiCall;
  if (hidGuid != nullptr) *hidGuid = sim::kHidInterfaceClass;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND /*parent*/,
                              DWORD flags) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  const HDEVINFO invalid = INVALID_HANDLE_VALUE;
  if (s.discovery.classDevs.Next()) return Fail(s.discovery.classDevs.error, invalid);
  // Only the interface sets of one class, without an enumerator filter, are modelled.
  if (enumerator != nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0 ||
      ((flags & DIGCF_ALLCLASSES) == 0 && classGuid == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER, invalid);
  }
  auto set = std::make_unique<sim::DevInfoSet>();
  const bool hid =
      (flags & DIGCF_ALLCLASSES) != 0 || sim::SameGuid(*classGuid, sim::kHidInterfaceClass);
  if (hid) {
    for (sim::HidId id : s.order) {
      const sim::HidInterface& d = s.Get(id);
      // Without DIGCF_PRESENT the set also lists devices seen before and gone now.
      if (d.present || ((flags & DIGCF_PRESENT) == 0 && d.everPlugged)) {
        set->entries.push_back({id, d.path, d.present});
      }
    }
  }
  const HDEVINFO handle = set.get();
  s.sets.emplace(handle, std::move(set));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  sim::DevInfoSet* info = sim::FindSet(s, set);
  if (info == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // Enumerating the interfaces of one device of the set is not modelled.
  if (device != nullptr || interfaceClass == nullptr || data == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (s.discovery.enumFailsAtIndex == index) return Fail(s.discovery.enumError, FALSE);
  if (!sim::SameGuid(*interfaceClass, sim::kHidInterfaceClass) || index >= info->entries.size()) {
    return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  }
  data->InterfaceClassGuid = sim::kHidInterfaceClass;
  data->Flags = info->entries[index].present ? sim::kSpintActive : 0;
  data->Reserved = static_cast<ULONG_PTR>(index) + 1;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  sim::DevInfoSet* info = sim::FindSet(s, set);
  if (info == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (data->Reserved == 0 || data->Reserved > info->entries.size()) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const sim::DevInfoSet::Entry& entry = info->entries[data->Reserved - 1];
  sim::HidInterface& d = s.Get(entry.id);
  if (d.faults.detail.Next()) return Fail(d.faults.detail.error, FALSE);

  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          entry.path.size() + 1);
  const DWORD reported = d.faults.requiredSize.value_or(needed);
  if (detail == nullptr) {
    if (detailSize != 0) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (requiredSize != nullptr) *requiredSize = reported;
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  // cbSize is the size of the fixed part (8 on 64-bit Windows, 5 on 32-bit),
  // not of the buffer.
  if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (detailSize < needed) {
    if (requiredSize != nullptr) *requiredSize = reported;
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = reported;
  if (device != nullptr) {
    device->ClassGuid = sim::kHidDeviceClass;
    device->DevInst = static_cast<DWORD>(entry.id);
    device->Reserved = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  if (s.sets.erase(set) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES /*attributes*/, DWORD creation, DWORD flags,
                   HANDLE /*templateFile*/) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  sim::HidOpen& open = s.opens.emplace_back();
  open.at = sim::Now();
  open.thread = sim::CurrentThreadId();
  open.path = fileName ? fileName : "";
  open.access = access;
  open.share = shareMode;
  open.creation = creation;
  open.flags = flags;
  auto fail = [&](DWORD error) {
    open.error = error;
    return Fail(error, INVALID_HANDLE_VALUE);
  };
  if (fileName == nullptr) return fail(ERROR_INVALID_PARAMETER);
  // The simulated machine has no file system: only device interfaces open.
  sim::HidInterface* d = s.FindPresent(fileName);
  if (d == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  if (d->faults.open.Next()) return fail(d->faults.open.error);

  auto file =
      std::make_shared<sim::HidFile>(s.devices[static_cast<std::size_t>(d->id) - 1], access, flags);
  std::erase_if(d->files, [](const std::weak_ptr<sim::HidFile>& f) { return f.expired(); });
  d->files.push_back(file);
  open.ok = true;
  open.device = d->id;
  SetLastError(ERROR_SUCCESS);
  return sim::OpenHandle(std::move(file));
}

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  auto file = sim::LookupHandleAs<sim::HidFile>(device);
  if (!file) return Fail(ERROR_INVALID_HANDLE, BOOLEAN{FALSE});
  if (attributes == nullptr) return Fail(ERROR_INVALID_PARAMETER, BOOLEAN{FALSE});
  sim::HidInterface& d = file->Device();
  {
    // The attributes come from the driver's copy of the device descriptor, so
    // a stalled device still answers; but the call queues behind pending I/O.
    sim::SynchronousIo io;
    const sim::WaitEnd end = s.Wait(
        *file, [&] { return !file->busy; }, std::nullopt, false, "HidD_GetAttributes");
    if (end != sim::WaitEnd::kReady) return Fail(sim::WaitError(end), BOOLEAN{FALSE});
  }
  if (d.faults.attributes.Next()) return Fail(d.faults.attributes.error, BOOLEAN{FALSE});
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = d.spec.vendorId;
  attributes->ProductID = d.spec.productId;
  attributes->VersionNumber = d.spec.versionNumber;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  auto hid = sim::LookupHandleAs<sim::HidFile>(file);
  if (!hid) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // The buffer is only read; Transfer takes a mutable pointer for ReadFile's sake.
  const BOOL ok =
      sim::Transfer(s, *hid, true, static_cast<std::uint8_t*>(const_cast<void*>(buffer)),
                    bytesToWrite, bytesWritten, overlapped);
  sim::WakePoint();  // the device's answer and the handle are there for the others
  return ok;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  const sim::ApiCall apiCall;
  auto& s = sim::Bus();
  auto hid = sim::LookupHandleAs<sim::HidFile>(file);
  if (!hid) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const BOOL ok = sim::Transfer(s, *hid, false, static_cast<std::uint8_t*>(buffer), bytesToRead,
                                bytesRead, overlapped);
  sim::WakePoint();  // the handle is free for the others
  return ok;
}
