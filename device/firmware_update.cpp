// Writing the carried image into the joystick, page by page, with every
// page's checksum read back and compared with the carried table.
//
// Page 16 is erased (and its data streamed) first and programmed last, so
// until the very end the device does not hold a complete old image that
// could pass for a good one.
#include "app/UpdateFirmwareDlg.h"
#include "device/device_link.h"
#include "firmware/firmware.h"

DWORD g_dwChecksumSum = 0;

namespace {

constexpr BYTE kFirstAndLastPage = 16;
constexpr int kProgressSteps = 68;  // 66 main-pass pages, page 16, the closing query
constexpr DWORD kChunksPerPage = FIRMWARE_PAGE_SIZE / FIRMWARE_CHUNK_SIZE;

constexpr char kReadVersionError[] = "Device version Read Error!";
constexpr char kDowngradeRefused[] =
    "Device version is higher than File version\nCan't be Updated!";
constexpr char kEraseError[] = "Device Rom Erase error!";
constexpr char kStreamError[] = "Device Rom Update error!";
constexpr char kProgramError[] = "Device Rom Write error!";
constexpr char kChecksumReadError[] = "Device Checksum Read error!";
constexpr char kChecksumError[] = "Checksum error!";
constexpr char kFirmwareVersionError[] = "Firmware version error!";

bool KeyDown(int virtualKey) { return (static_cast<WORD>(GetKeyState(virtualKey)) & 0xFF00) != 0; }

}  // namespace

// The steps of an update. Each returns null on success or the text of the
// message that ends the update.
class CFirmwareUpdate {
 public:
  CFirmwareUpdate(CUpdateFirmwareDlg& dlg, const BYTE* pImage) : m_dlg(dlg), m_pImage(pImage) {}

  const char* Run();

 private:
  bool Write() {
    return WriteReport(m_dlg.m_hDevice.load(), m_dlg.m_OutReport, &m_dlg.m_dwWritten) != FALSE;
  }
  bool Read() {
    return ReadReport(m_dlg.m_hDevice.load(), m_dlg.m_InReport, &m_dlg.m_dwRead) != FALSE;
  }
  bool QueryRelease(bool applyUnprogrammedRule);
  const char* ErasePage();
  const char* StreamPage();
  const char* ProgramAndVerifyPage();
  const char* WritePage();

  CUpdateFirmwareDlg& m_dlg;
  const BYTE* m_pImage;
};

bool CFirmwareUpdate::QueryRelease(bool applyUnprogrammedRule) {
  FrameCommand(m_dlg.m_OutReport, CMD_IDENTIFY);
  if (!Write()) return false;
  // A failed read leaves the release last read in force.
  if (Read()) {
    DWORD release = ReadWordHighFirst(m_dlg.m_InReport, 7);
    if (applyUnprogrammedRule && release == RELEASE_UNPROGRAMMED) release = 0;
    g_nDeviceRelease = release;
  }
  return true;
}

const char* CFirmwareUpdate::ErasePage() {
  m_dlg.m_dwAddress = static_cast<DWORD>(m_dlg.m_nPage) * FIRMWARE_PAGE_SIZE;
  FrameAddressedCommand(m_dlg.m_OutReport, CMD_ERASE_PAGE, m_dlg.m_dwAddress, m_dlg.m_nPage);
  if (!Write()) return kEraseError;
  Read();  // the answer to an erase is not looked at
  return nullptr;
}

const char* CFirmwareUpdate::StreamPage() {
  for (m_dlg.m_nChunk = 0; m_dlg.m_nChunk < kChunksPerPage; ++m_dlg.m_nChunk) {
    FrameDataReport(m_dlg.m_OutReport, m_pImage +
                                           static_cast<DWORD>(m_dlg.m_nPage) * FIRMWARE_PAGE_SIZE +
                                           m_dlg.m_nChunk * FIRMWARE_CHUNK_SIZE);
    if (!Write()) return kStreamError;
  }
  return nullptr;
}

const char* CFirmwareUpdate::ProgramAndVerifyPage() {
  FrameCommand(m_dlg.m_OutReport, CMD_PROGRAM_PAGE);
  if (!Write()) return kProgramError;
  Read();  // the answer to a program command is not looked at

  FrameAddressedCommand(m_dlg.m_OutReport, CMD_READ_CHECKSUM, m_dlg.m_dwAddress, 1);
  if (!Write()) return kChecksumReadError;
  m_dlg.m_dwFileChecksum = g_FirmwareChecksums[m_dlg.m_nPage + 1];
  // A checksum that could not be read does not verify the page, whatever
  // the input buffer still holds from an earlier answer.
  const bool answered = Read();
  m_dlg.m_dwDeviceChecksum = ReadDwordLowFirst(m_dlg.m_InReport, 5);
  g_dwChecksumSum += m_dlg.m_dwDeviceChecksum;
  if (!answered || m_dlg.m_dwFileChecksum != m_dlg.m_dwDeviceChecksum) return kChecksumError;
  m_dlg.m_progress.StepIt();
  return nullptr;
}

const char* CFirmwareUpdate::WritePage() {
  if (const char* error = ErasePage()) return error;
  if (const char* error = StreamPage()) return error;
  return ProgramAndVerifyPage();
}

const char* CFirmwareUpdate::Run() {
  if (!QueryRelease(true)) return kReadVersionError;

  m_dlg.m_progress.SetRange(0, kProgressSteps);
  m_dlg.m_progress.SetStep(1);
  m_dlg.m_progress.SetPos(0);

  // A newer device is overwritten only while a Shift key is held.
  if (g_nDeviceRelease > FIRMWARE_FILE_RELEASE && !KeyDown(VK_LSHIFT) && !KeyDown(VK_RSHIFT)) {
    return kDowngradeRefused;
  }
  g_dwChecksumSum = 0;

  // First pass: page 16 erased and streamed, not programmed.
  m_dlg.m_dwAddress = kFirstAndLastPage * FIRMWARE_PAGE_SIZE;
  m_dlg.m_nPage = kFirstAndLastPage;
  if (const char* error = ErasePage()) return error;
  if (const char* error = StreamPage()) return error;

  // Main pass: every other page in ascending order.
  m_dlg.m_dwFileChecksum = 0;
  for (DWORD page = 0; page < FIRMWARE_PAGE_COUNT; ++page) {
    if (page == kFirstAndLastPage) continue;
    m_dlg.m_nPage = static_cast<BYTE>(page);
    if (const char* error = WritePage()) return error;
  }

  // Final pass: page 16 in full.
  m_dlg.m_dwAddress = kFirstAndLastPage * FIRMWARE_PAGE_SIZE;
  m_dlg.m_dwFileChecksum = 0;
  m_dlg.m_nPage = kFirstAndLastPage;
  if (const char* error = WritePage()) return error;

  // Closing query: the device now reports the new release, 0xFFFF as it is.
  if (!QueryRelease(false)) return kFirmwareVersionError;
  m_dlg.ShowRelease(m_dlg.m_editDeviceVersion, g_nDeviceRelease);
  m_dlg.m_progress.StepIt();

  FrameCommand(m_dlg.m_OutReport, CMD_FINISH);
  if (!Write()) return kFirmwareVersionError;
  return nullptr;
}

void CUpdateFirmwareDlg::UpdateFirmware(const BYTE* pImage) {
  m_nPage = 0;
  m_dwFileChecksum = 0;
  m_dwDeviceChecksum = 0;
  m_nChunk = 0;
  BeginWaitCursor();
  CFirmwareUpdate update(*this, pImage);
  const char* error = update.Run();
  // The wait cursor ends before the one message box of every way out.
  EndWaitCursor();
  if (error != nullptr) {
    ::MessageBoxA(m_hWnd, error, "Error", MB_OK);
    return;
  }
  CString strResult;
  strResult.Format("Update and Verify OK!\nCheckSum:0x%08X\nRelease:0x%04X",
                   static_cast<unsigned>(g_dwChecksumSum), static_cast<unsigned>(g_nDeviceRelease));
  ::MessageBoxA(m_hWnd, strResult, "OK", MB_OK);
}
