#include "platform/SerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/SerialSpeed.h"
#include "support/PtyPair.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace voxmit {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;

constexpr auto kLong = 5s;  // generous: only a hang would reach it

TSerialLineSettings Line8N1(int32_t baud = 9600) { return {baud, 8, spNone, ssOne}; }

std::string ReadAll(TNSerialPort& port, size_t count) {
  std::string all, part;
  while (all.size() < count && port.Read(part, kLong) == sioOK) all += part;
  return all;
}

// Whether the terminal at path is in exclusive mode: an ordinary opener is refused, and one
// that gets in (root is exempt) asks the driver.
bool IsExclusive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool asked = ioctl(fd, TIOCGEXCL, &exclusive) == 0;
  close(fd);
  return asked && exclusive != 0;
}

struct NameCase {
  const char* label;
  const char* name;
  const char* expected;
};

class SerialPortNames : public ::testing::TestWithParam<NameCase> {};

// COM1 and COM10 share a prefix; other sections and comments must not count.
constexpr const char* kComPortsIni =
    "; serial ports of this machine\n"
    "[Modems]\n"
    "COM2=/dev/wrong-section\n"
    "[Ports]\n"
    "COM1=/dev/ttyUSB0\n"
    "com10 = \"/dev/ttyUSB9\"\n"
    "#COM11=/dev/commented\n";

TEST_P(SerialPortNames, Resolve) {
  test::TempHome home;
  home.Write("ComPorts.ini", kComPortsIni);
  EXPECT_EQ(TNSerialPort::ResolvePortName(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialPortNames,
    ::testing::Values(NameCase{"MappedCom1", "COM1", "/dev/ttyUSB0"},
                      NameCase{"MappedCom10NotCom1", "COM10", "/dev/ttyUSB9"},
                      NameCase{"KeyIgnoresCase", "Com10", "/dev/ttyUSB9"},
                      NameCase{"OtherSectionIgnored", "COM2", "/dev/ttyS1"},
                      NameCase{"CommentIgnored", "COM11", "/dev/ttyS10"},
                      NameCase{"UnmappedCom9", "COM9", "/dev/ttyS8"},
                      NameCase{"UnmappedCom12", "COM12", "/dev/ttyS11"},
                      NameCase{"PathAsIs", "/dev/pts/7", "/dev/pts/7"},
                      NameCase{"NoNumber", "COM", ""},
                      NameCase{"ComZero", "COM0", ""},
                      NameCase{"NotANumber", "COMX", ""},
                      NameCase{"OtherName", "LPT1", ""},
                      NameCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SerialPort, MappedNamesOpenTheirOwnDevices) {
  test::TempHome home;
  PtyPair com9, com10;
  home.Write("ComPorts.ini",
             "[Ports]\nCOM9=" + com9.SlavePath() + "\nCOM10=" + com10.SlavePath() + "\n");
  TNSerialPort port9, port10;
  ASSERT_TRUE(port9.Open("COM9", Line8N1())) << port9.LastErrorText();
  ASSERT_TRUE(port10.Open("COM10", Line8N1())) << port10.LastErrorText();
  EXPECT_EQ(port9.DevicePath(), com9.SlavePath());
  EXPECT_EQ(port10.DevicePath(), com10.SlavePath());

  ASSERT_EQ(port10.Write("to ten", kLong), sioOK);
  EXPECT_EQ(com10.ReadMasterUntil("to ten", kLong), "to ten");
  com9.WriteMaster("from nine");
  EXPECT_EQ(ReadAll(port9, 9), "from nine");
}

TEST(SerialPort, OpenFailuresReportTheCause) {
  TNSerialPort port;
  EXPECT_FALSE(port.Open("COMX", Line8N1()));
  EXPECT_EQ(port.LastError(), ENOENT);
  EXPECT_FALSE(port.Open("/dev/no-such-port", Line8N1()));
  EXPECT_EQ(port.LastError(), ENOENT);
  EXPECT_FALSE(port.Open("/dev/null", Line8N1()));
  EXPECT_EQ(port.LastError(), ENOTTY);
  EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, RefusedLineSettingsFailTheOpen) {
  PtyPair pty;
  const TSerialLineSettings refused[] = {
      {9600, 0, spNone, ssOne},   // data bits 0: an unparsed line format
      {9600, 9, spNone, ssOne},   //
      {12345, 8, spNone, ssOne},  // no such speed
      {9600, 8, 7, ssOne},        // unknown parity code
      {9600, 8, spNone, 5},       // unknown stop bits code
  };
  for (const auto& settings : refused) {
    TNSerialPort port;
    EXPECT_FALSE(port.Open(pty.SlavePath(), settings))
        << settings.BaudRate << " " << settings.ByteSize << " " << int(settings.Parity) << " "
        << int(settings.StopBits);
    EXPECT_EQ(port.LastError(), EINVAL);
    EXPECT_FALSE(port.IsOpen());
  }
  TNSerialPort port;
  EXPECT_TRUE(port.Open(pty.SlavePath(), Line8N1())) << "a refused open must not lock the port";
}

struct LineCase {
  const char* label;
  TSerialLineSettings settings;
  speed_t speed;
  tcflag_t cflagBits;  // of PARODD | CSTOPB: a pseudo-terminal forces CS8 and clears PARENB
};

class SerialPortLineSettings : public ::testing::TestWithParam<LineCase> {};

TEST_P(SerialPortLineSettings, AppliedInRawMode) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), GetParam().settings)) << port.LastErrorText();
  termios tio{};  // the master reports the slave's settings
  ASSERT_EQ(tcgetattr(pty.MasterFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), GetParam().speed);
  EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), GetParam().cflagBits);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u) << "CR must reach the dialogue unchanged";
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialPortLineSettings,
    ::testing::Values(LineCase{"Tap8N1At9600", {9600, 8, spNone, ssOne}, B9600, 0},
                      LineCase{"Tap7E1At1200", {1200, 7, spEven, ssOne}, B1200, 0},
                      LineCase{"Odd2Stop", {2400, 7, spOdd, ssTwo}, B2400, PARODD | CSTOPB},
                      LineCase{"Fast", {115200, 8, spNone, ssOne}, B115200, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// Rates without a Bnnn constant (the GSM editor offers 14400) go through termios2.
TEST(SerialPort, RatesWithoutAConstantReachTheDriverExactly) {
  for (const int32_t baud : {14400, 28800, 56000, 128000, 256000}) {
    PtyPair pty;
    TNSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), {baud, 8, spNone, ssOne})) << baud << " "
                                                                       << port.LastErrorText();
    EXPECT_EQ(SerialOutputSpeed(pty.MasterFd()), baud);
  }
}

struct FormatCase {
  const char* label;
  TSerialLineSettings settings;
  tcflag_t cflagBits;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
  bool parityChecked;
};

class SerialPortCharacterFormat : public ::testing::TestWithParam<FormatCase> {};

// A pseudo-terminal keeps 8 bits without parity whatever it is told, so the format is checked
// on the settings built for the driver.
TEST_P(SerialPortCharacterFormat, BuiltFromTheSettingCodes) {
  termios tio{};
  tio.c_cflag = CS8 | PARENB | PARODD | CSTOPB | CRTSCTS;  // whatever the driver had
  tio.c_iflag = ICRNL | IXON | INPCK;
  ASSERT_TRUE(BuildSerialTermios(tio, GetParam().settings));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), GetParam().cflagBits);
  EXPECT_EQ((tio.c_iflag & INPCK) != 0, GetParam().parityChecked);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_TRUE(tio.c_cflag & CLOCAL);
  EXPECT_TRUE(tio.c_cflag & CREAD);
  EXPECT_TRUE(tio.c_cflag & CRTSCTS) << "handshaking keeps what the driver had";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialPortCharacterFormat,
    ::testing::Values(FormatCase{"EightNoneOne", {9600, 8, spNone, ssOne}, CS8, false},
                      FormatCase{"SevenEvenOne", {1200, 7, spEven, ssOne}, CS7 | PARENB, true},
                      FormatCase{"SevenOddTwo", {1200, 7, spOdd, ssTwo},
                                 CS7 | PARENB | PARODD | CSTOPB, true},
                      FormatCase{"SixMark", {300, 6, spMark, ssOne},
                                 CS6 | PARENB | PARODD | CMSPAR, true},
                      FormatCase{"FiveSpaceOneAndHalf", {110, 5, spSpace, ssOneAndHalf},
                                 CS5 | PARENB | CMSPAR | CSTOPB, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SerialPort, SecondOpenerIsRefusedUntilTheFirstCloses) {
  PtyPair pty;
  TNSerialPort first, second;
  ASSERT_TRUE(first.Open(pty.SlavePath(), Line8N1())) << first.LastErrorText();
  EXPECT_FALSE(second.Open(pty.SlavePath(), Line8N1()));
  EXPECT_EQ(second.LastError(), EBUSY);
  // The refused opener leaves the holder's exclusive mode alone.
  EXPECT_TRUE(IsExclusive(pty.SlavePath()));
  EXPECT_TRUE(first.Close());
  EXPECT_TRUE(second.Open(pty.SlavePath(), Line8N1())) << second.LastErrorText();
}

TEST(SerialPort, ReadReturnsWhatHasArrivedWithoutWaitingForMore) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  std::string got;
  pty.WriteMaster("O");
  ASSERT_EQ(port.Read(got, kLong), sioOK);
  EXPECT_EQ(got, "O");
  pty.WriteMaster("K\r\n");
  EXPECT_EQ(ReadAll(port, 3), "K\r\n");
}

TEST(SerialPort, ReadRespectsTheSizeLimit) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  pty.WriteMaster("0123456789");
  ASSERT_TRUE(test::WaitUntil([&] { return port.InputQueueSize() == 10; }));
  std::string got;
  ASSERT_EQ(port.Read(got, kLong, 4), sioOK);
  EXPECT_EQ(got, "0123");
  EXPECT_EQ(port.InputQueueSize(), 6);
}

TEST(SerialPort, SilenceTimesOutAndALateAnswerIsKept) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  std::string got = "stale";
  EXPECT_EQ(port.Read(got, 50ms), sioTimeout);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(port.WaitReadable(50ms), sioTimeout);

  pty.WriteMaster("OK\r");
  EXPECT_EQ(port.WaitReadable(kLong), sioOK);
  EXPECT_EQ(ReadAll(port, 3), "OK\r");
}

TEST(SerialPort, QueueSizeAndPurge) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  EXPECT_EQ(port.InputQueueSize(), 0);
  pty.WriteMaster("NOISE");
  ASSERT_TRUE(test::WaitUntil([&] { return port.InputQueueSize() == 5; }));
  EXPECT_TRUE(port.Purge());
  EXPECT_EQ(port.InputQueueSize(), 0);
  std::string got;
  EXPECT_EQ(port.Read(got, 50ms), sioTimeout);
}

TEST(SerialPort, OpenDiscardsWhatWasQueuedBefore) {
  PtyPair pty;
  pty.WriteMaster("left over from the last channel");
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  EXPECT_EQ(port.InputQueueSize(), 0);
}

TEST(SerialPort, WriteToAStalledLineEndsAtTheDeadline) {
  PtyPair pty;  // nobody reads the master
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  const std::string big(1 << 20, 'x');
  size_t written = 0;
  EXPECT_EQ(port.Write(big, 200ms, &written), sioTimeout);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

TEST(SerialPort, FarEndHangingUpIsAnErrorNotAHang) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  pty.CloseMaster();
  const auto start = std::chrono::steady_clock::now();
  std::string got;
  EXPECT_EQ(port.Read(got, 30s), sioError);
  EXPECT_EQ(port.WaitReadable(30s), sioError);
  EXPECT_EQ(port.Write("AT\r", 30s), sioError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_NE(port.LastError(), 0);
  EXPECT_TRUE(port.Close());
}

TEST(SerialPort, DtrOnAPseudoTerminalIsFalseNotAThrow) {
  PtyPair pty;
  TNSerialPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), Line8N1()));
  bool dropped = true, raised = true;
  EXPECT_NO_THROW(dropped = port.SetDTR(false));
  EXPECT_NO_THROW(raised = port.SetDTR(true));
  EXPECT_FALSE(dropped);
  EXPECT_FALSE(raised);
  EXPECT_TRUE(port.LastError() == ENOTTY || port.LastError() == EINVAL) << port.LastErrorText();
  // The port stays usable.
  ASSERT_EQ(port.Write("ATZ\r", kLong), sioOK);
  EXPECT_EQ(pty.ReadMasterUntil("ATZ\r", kLong), "ATZ\r");
}

TEST(SerialPort, ClosedPortFailsEveryOperation) {
  TNSerialPort port;
  std::string got;
  EXPECT_EQ(port.Read(got, 10ms), sioError);
  EXPECT_EQ(port.Write("x", 10ms), sioError);
  EXPECT_EQ(port.WaitReadable(10ms), sioError);
  EXPECT_EQ(port.InputQueueSize(), -1);
  EXPECT_FALSE(port.SetDTR(true));
  EXPECT_FALSE(port.Purge());
  EXPECT_TRUE(port.Close());
}

} // namespace
} // namespace voxmit
