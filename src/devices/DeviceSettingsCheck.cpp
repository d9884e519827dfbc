#include "devices/DeviceSettingsCheck.h"

#include <vector>

#include <Poco/String.h>

#include "common/CommaText.h"
#include "devices/Devices.h"

namespace voxmit {

namespace {

constexpr int32_t kMaxRedial = 32000;
constexpr int32_t kMaxComPort = 32000;
constexpr int32_t kProtocolACU = 4;
constexpr int32_t kLastProtocol = 5;  // ACU_GK

struct TItems {
  std::vector<std::string> Values;
  std::string Error;

  // The first error found stays; later checks do nothing then.
  bool Fail(std::string reason) {
    if (Error.empty()) Error = std::move(reason);
    return false;
  }
  bool Int(size_t index, const char* what, int32_t low, int32_t high) {
    int32_t v = 0;
    if (!CommaFieldToInt(Values[index], v) || v < low || v > high)
      return Fail(std::string(what) + " must be a whole number from " + std::to_string(low) +
                  " to " + std::to_string(high) + ", not \"" + Values[index] + "\"");
    Values[index] = std::to_string(v);
    return true;
  }
  bool ComPort(size_t index) {
    const std::string& port = Values[index];
    int32_t n = 0;
    if (Poco::icompare(port.substr(0, 3), "COM") != 0 || !CommaFieldToInt(port.substr(3), n) ||
        n < 1 || n > kMaxComPort)
      return Fail("the port must be COM followed by a number of 1 or more (COM1), not \"" +
                  port + "\"");
    Values[index] = "COM" + std::to_string(n);
    return true;
  }
};

const char* KindDescription(int32_t typeNo) {
  switch (typeNo) {
    case DK_MODEM: return "a modem";
    case DK_DIRECT_SERIAL: return "a direct serial line";
    case DK_GSM_MODEM: return "a GSM modem";
    default: return "an IP network device";
  }
}

size_t ItemCount(int32_t typeNo) {
  switch (typeNo) {
    case DK_MODEM: return 6;
    case DK_DIRECT_SERIAL: return 1;
    case DK_GSM_MODEM: return 4;
    default: return 3;
  }
}

void CheckModem(TItems& items) {
  items.ComPort(0);
  std::string& prefix = items.Values[2];
  if (prefix.find_first_not_of("0123456789") != std::string::npos)
    items.Fail("the dialling prefix may hold digits only, not \"" + prefix + "\"");
  std::string& wait = items.Values[3];
  if (Poco::icompare(wait, "true") == 0) wait = "true";
  else if (Poco::icompare(wait, "false") == 0) wait = "false";
  else items.Fail("wait for dial tone must be true or false, not \"" + wait + "\"");
  if (wait == "true" && prefix.empty())
    items.Fail("wait for dial tone needs a dialling prefix");
  items.Int(4, "the redial attempts", 1, kMaxRedial);
  items.Int(5, "the redial delay (seconds)", 1, kMaxRedial);
}

void CheckGsm(TItems& items) {
  items.ComPort(0);
  items.Int(1, "the baud rate position (0 1200 ... 8 115200, -1 none)", -1, 8);
  items.Int(2, "the module position (0 Unknown ... 6 SIMcom, -1 none)", -1, 6);
  items.Int(3, "the SMS mode position (0 Text, 1 PDU, -1 none)", -1, 1);
}

void CheckIpNetwork(TItems& items) {
  if (!items.Int(2, "the protocol (0 SMTP, 1 SNPP, 2 WCTP, 3 MSG, 4 ACU, 5 ACU_GK)", 0,
                 kLastProtocol))
    return;
  std::string& host = items.Values[0];
  std::string& port = items.Values[1];
  if (items.Values[2] == std::to_string(kProtocolACU)) {
    if (!host.empty() || !port.empty())
      items.Fail("an ACU device has no host or port: write ,,4");
    return;
  }
  if (host.empty()) items.Fail("the host is empty");
  int32_t n = 0;
  if (!CommaFieldToInt(port, n) || n < 0 || n > 65535)
    items.Fail("Error: Port number is invalid. (\"" + port + "\"; 0 to 65535)");
  else
    port = std::to_string(n);
}

} // namespace

TDeviceSettingsCheck CheckDeviceSettings(int32_t typeNo, const std::string& settingsData) {
  TDeviceSettingsCheck result;
  if (typeNo < DK_MODEM || typeNo > DK_IP_NETWORK) {
    result.Ok = true;
    result.Normalized = settingsData;
    return result;
  }
  TItems items{SplitCommaText(settingsData), {}};
  for (std::string& v : items.Values) Poco::trimInPlace(v);
  const size_t expected = ItemCount(typeNo);
  if (items.Values.size() != expected) {
    result.Reason = std::string("the settings of ") + KindDescription(typeNo) + " have " +
                    std::to_string(expected) + " item" + (expected == 1 ? "" : "s") + ", not " +
                    std::to_string(items.Values.size());
    return result;
  }
  switch (typeNo) {
    case DK_MODEM: CheckModem(items); break;
    case DK_DIRECT_SERIAL: items.ComPort(0); break;
    case DK_GSM_MODEM: CheckGsm(items); break;
    default: CheckIpNetwork(items); break;
  }
  if (!items.Error.empty()) {
    result.Reason = items.Error;
    return result;
  }
  result.Ok = true;
  result.Normalized = JoinCommaText(items.Values);
  return result;
}

} // namespace voxmit
