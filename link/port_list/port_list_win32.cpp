// The ports of a Windows machine, from SetupAPI: the devices of the Ports and Modem classes that
// have a COM port name (PortName in the device's registry key). Ids and serial number come from
// the device instance id ("USB\VID_0403&PID_6001\A12345",
// "FTDIBUS\VID_0403+PID_6001+A12345A\0000"), the driver from the service name, the strings from the
// device's registry properties.
#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "port_list/port_list.h"

namespace varno {
namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "";
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::wstring property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD which) {
  wchar_t buffer[512];
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, which, &type,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2,
                                         nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return L"";
  }
  buffer[511] = L'\0';
  return buffer;
}

std::wstring portName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return L"";
  wchar_t buffer[256] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  const LONG result =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return L"";
  return buffer;
}

std::wstring instanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  wchar_t buffer[512] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, &device, buffer, 511, nullptr)) return L"";
  return buffer;
}

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// The four hex digits after `tag` ("VID_"), or -1.
int idAfter(const std::wstring& id, const wchar_t* tag) {
  const std::size_t at = id.find(tag);
  if (at == std::wstring::npos) return -1;
  const std::wstring digits = id.substr(at + 4, 4);
  if (digits.size() != 4) return -1;
  int value = 0;
  for (const wchar_t c : digits) {
    if (!std::iswxdigit(c)) return -1;
    value = value * 16 + (std::iswdigit(c) ? c - L'0' : std::towupper(c) - L'A' + 10);
  }
  return value;
}

// "USB\VID_0403&PID_6001\A12345": the third part, unless Windows made it up (it then holds '&').
// "FTDIBUS\VID_0403+PID_6001+A12345A\0000": what follows the ids, less the port letter.
std::wstring serialNumber(const std::wstring& id) {
  const std::wstring up = upper(id);
  if (up.rfind(L"USB\\", 0) == 0) {
    const std::size_t last = id.find_last_of(L'\\');
    if (last == 3 || last == std::wstring::npos) return L"";
    const std::wstring serial = id.substr(last + 1);
    return serial.find(L'&') == std::wstring::npos ? serial : L"";
  }
  if (up.rfind(L"FTDIBUS\\", 0) == 0) {
    const std::size_t plus = id.find(L'+', id.find(L'+') + 1);
    const std::size_t end = id.find(L'\\', 8);
    if (plus == std::wstring::npos || end == std::wstring::npos || end <= plus + 1) return L"";
    std::wstring serial = id.substr(plus + 1, end - plus - 1);
    if (serial.size() > 1 && serial.back() == L'A') serial.pop_back();
    return serial;
  }
  return L"";
}

// The instance ids of the class's devices that are present now.
std::vector<std::wstring> presentIds(const GUID& klass) {
  std::vector<std::wstring> ids;
  HDEVINFO set = SetupDiGetClassDevsW(&klass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return ids;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    ids.push_back(instanceId(set, device));
  }
  SetupDiDestroyDeviceInfoList(set);
  return ids;
}

void addClass(const GUID& klass, std::uint32_t flags, std::vector<VarnoPortInfo>& ports) {
  const DWORD present = (flags & VARNO_LIST_ALL) ? 0 : DIGCF_PRESENT;
  const std::vector<std::wstring> here =
      present == 0 ? presentIds(klass) : std::vector<std::wstring>();
  HDEVINFO set = SetupDiGetClassDevsW(&klass, nullptr, nullptr, present);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const std::wstring name = portName(set, device);
    if (upper(name).rfind(L"COM", 0) != 0) continue;  // LPT1, or a modem without a COM port
    const std::wstring id = instanceId(set, device);
    VarnoPortInfo info{};
    copyField(info.device, sizeof info.device, utf8(name));
    copyField(info.driver, sizeof info.driver, utf8(property(set, device, SPDRP_SERVICE)));
    copyField(info.manufacturer, sizeof info.manufacturer, utf8(property(set, device, SPDRP_MFG)));
    std::wstring product = property(set, device, SPDRP_FRIENDLYNAME);
    if (product.empty()) product = property(set, device, SPDRP_DEVICEDESC);
    copyField(info.product, sizeof info.product, utf8(product));
    const std::wstring up = upper(id);
    const int vid = idAfter(up, L"VID_");
    const int pid = idAfter(up, L"PID_");
    if (vid >= 0 && pid >= 0) {
      info.flags |= VARNO_PORT_USB;
      info.vendor_id = static_cast<std::uint16_t>(vid);
      info.product_id = static_cast<std::uint16_t>(pid);
      copyField(info.serial_number, sizeof info.serial_number, utf8(serialNumber(id)));
    }
    // Listed without DIGCF_PRESENT: a device that is not among the present ones is absent.
    if (present == 0 && std::find(here.begin(), here.end(), id) == here.end()) {
      info.flags |= VARNO_PORT_VIRTUAL;
    }
    ports.push_back(info);
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<VarnoPortInfo> listPorts(std::uint32_t flags) {
  std::vector<VarnoPortInfo> ports;
  addClass(GUID_DEVCLASS_PORTS, flags, ports);
  addClass(GUID_DEVCLASS_MODEM, flags, ports);
  std::sort(ports.begin(), ports.end(), [](const VarnoPortInfo& a, const VarnoPortInfo& b) {
    return naturalLess(a.device, b.device);
  });
  return ports;
}

}  // namespace varno
