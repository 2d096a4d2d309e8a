#include "app/UpdateFirmwareDlg.h"
#include "device/device_link.h"

DWORD g_nDeviceRelease = 0;

BOOL CUpdateFirmwareDlg::IdentifyDevice() {
  FrameCommand(m_OutReport, CMD_IDENTIFY);
  if (!WriteReport(m_hDevice.load(), m_OutReport, &m_dwWritten)) return FALSE;
  if (!ReadReport(m_hDevice.load(), m_InReport, &m_dwRead)) return FALSE;
  const WORD deviceType = ReadWordHighFirst(m_InReport, 5);
  WORD release = ReadWordHighFirst(m_InReport, 7);
  if (release == RELEASE_UNPROGRAMMED) release = 0;
  g_nDeviceRelease = release;
  return deviceType == DEVICE_TYPE_ID ? TRUE : FALSE;
}
