// The device settings check: what the editors let through, as the text they would write, and
// a one-line reason for everything else.

#include <gtest/gtest.h>

#include "devices/DeviceSettingsCheck.h"

namespace voxmit {
namespace {

struct Case {
  const char* name;
  int typeNo;
  const char* text;
  const char* normalized;  // nullptr: refused
  const char* reason;      // a part of the reason when refused
};

const Case kCases[] = {
    // Modems: six items.
    {"modem", 1, "COM2,ATQ0V1M1E0X4,9,true,3,1", "COM2,ATQ0V1M1E0X4,9,true,3,1", ""},
    {"modem trimmed, TRUE lowered", 1, "com12, ATQ0V1 ,9,TRUE, 5 ,10",
     "COM12,ATQ0V1,9,true,5,10", ""},
    {"modem init string with a blank stays quoted", 1, "COM1,\"AT Z\",,false,3,1",
     "COM1,\"AT Z\",,false,3,1", ""},
    {"modem without prefix", 1, "COM1,ATQ0V1,,false,3,1", "COM1,ATQ0V1,,false,3,1", ""},
    {"modem too few items", 1, "COM1,ATQ0V1,9,true,3", nullptr, "6 items, not 5"},
    {"modem port not COM", 1, "/dev/ttyS0,ATQ0V1,,false,3,1", nullptr, "COM followed by"},
    {"modem port 0", 1, "COM0,ATQ0V1,,false,3,1", nullptr, "COM followed by"},
    {"modem prefix with letters", 1, "COM1,ATQ0V1,9a,false,3,1", nullptr, "digits only"},
    {"modem dial tone without prefix", 1, "COM1,ATQ0V1,,true,3,1", nullptr, "needs a dialling"},
    {"modem dial tone not a boolean", 1, "COM1,ATQ0V1,9,yes,3,1", nullptr, "true or false"},
    {"modem redial attempts 0", 1, "COM1,ATQ0V1,9,true,0,1", nullptr, "redial attempts"},
    {"modem redial delay 32001", 1, "COM1,ATQ0V1,9,true,3,32001", nullptr, "redial delay"},
    {"modem redial not a number", 1, "COM1,ATQ0V1,9,true,three,1", nullptr, "redial attempts"},
    // Direct serial lines: one item.
    {"direct line", 2, "COM3", "COM3", ""},
    {"direct line empty", 2, "", nullptr, "1 item, not 0"},
    {"direct line two items", 2, "COM3,COM4", nullptr, "1 item, not 2"},
    // GSM modems: four items, list positions.
    {"gsm", 3, "COM3,8,6,1", "COM3,8,6,1", ""},
    {"gsm nothing chosen", 3, "COM3,-1,-1,-1", "COM3,-1,-1,-1", ""},
    {"gsm baud position 9", 3, "COM3,9,0,1", nullptr, "baud rate"},
    {"gsm mode 2", 3, "COM3,7,0,2", nullptr, "SMS mode"},
    // IP network devices: host, port, protocol.
    {"ip", 4, "mail.example.org,25,0", "mail.example.org,25,0", ""},
    {"ip port 65535", 4, "10.0.0.1,65535,2", "10.0.0.1,65535,2", ""},
    {"ip port 70000", 4, "10.0.0.1,70000,1", nullptr, "Port number is invalid"},
    {"ip port 65536", 4, "10.0.0.1,65536,1", nullptr, "Port number is invalid"},
    {"ip port empty", 4, "10.0.0.1,,1", nullptr, "Port number is invalid"},
    {"ip host empty", 4, ",25,1", nullptr, "host is empty"},
    {"ip protocol 6", 4, "10.0.0.1,25,6", nullptr, "protocol"},
    {"acu without host and port", 4, ",,4", ",,4", ""},
    {"acu with a host", 4, "10.0.0.1,9000,4", nullptr, "no host or port"},
    {"ip two items", 4, "10.0.0.1,25", nullptr, "3 items, not 2"},
    // A kind without an editor keeps whatever text it is given.
    {"kind without an editor", 9, "anything at all", "anything at all", ""},
};

TEST(DeviceSettingsCheck, AcceptsWhatTheEditorsWriteAndRefusesTheRest) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const TDeviceSettingsCheck check = CheckDeviceSettings(c.typeNo, c.text);
    if (c.normalized) {
      EXPECT_TRUE(check.Ok) << check.Reason;
      EXPECT_EQ(check.Normalized, c.normalized);
    } else {
      EXPECT_FALSE(check.Ok);
      EXPECT_NE(check.Reason.find(c.reason), std::string::npos) << check.Reason;
      EXPECT_EQ(check.Reason.find('\n'), std::string::npos);
    }
  }
}

} // namespace
} // namespace voxmit
