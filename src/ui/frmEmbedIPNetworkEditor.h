#pragma once
// The settings of an IP network device (kind 4): host, port and protocol; and three
// reachability tests (ICMP ping, TCP connect, HTTP GET). For the ACU protocol host and port
// are hidden and saved empty. UI thread only; each test blocks it for at most its time-outs.

#include <functional>

#include "frmBaseEmbedEditor.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace voxmit {

enum TIpProtocol { ipSMTP = 0, ipSNPP = 1, ipWCTP = 2, ipMSG = 3, ipACU = 4, ipACU_GK = 5 };

// One ping attempt's outcome.
enum class TPingStatus { EchoReply, Error, Timeout, Unreachable, TtlExpired, Other };
struct TPingReply {
  TPingStatus Status = TPingStatus::Other;
  std::string Address;  // the replying address
  int Ms = 0;           // the echo time
};
// Runs up to four attempts and returns the message to show (empty: none). probe may throw: the
// error's text then follows "ERROR: A network error occurred while trying to ping!".
std::string RunPingTest(const std::function<TPingReply()>& probe);
// An ICMP echo of 32 bytes to host with a 4000 ms receive time-out.
TPingReply IcmpProbe(const std::string& host);

class TFormEmbedIPNetworkEditor : public TFormBaseEmbedEditor {
  Q_OBJECT
public:
  TFormEmbedIPNetworkEditor();
  std::string GetDataAsCSVString() const override;
  bool PutDataAsCSVString(const std::string& text) override;
  bool ValidateData() override;

  void PingTest();
  void ConnectTest();
  void WebHostTest();

  QLabel* lblHost;
  QLineEdit* edtHost;
  QLabel* lblPort;
  QLineEdit* edtPort;
  QComboBox* cbProtocol;
  QPushButton* btnPing;
  QPushButton* btnConnect;
  QPushButton* btnWeb;

private:
  void UpdateControls();
};

} // namespace voxmit
