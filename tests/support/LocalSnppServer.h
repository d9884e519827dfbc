#pragma once
// A real SNPP server for tests: Net::SNPP::Server (Debian's libnet-snpp-perl) through
// tests/support/snpp_server.pl, on a free 127.0.0.1 port. The pages it processed and the LOGI
// lines it took are read back as the server's own code parsed them. It accepts any pager ID
// and every LOGI; like the library, it joins the words of a MESS text with single blanks.
//
// One thread at a time.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/LocalPeerProcess.h"

namespace voxmit::test {

class TLocalSnppServer {
public:
  struct Page {
    std::string Pager;
    std::string Message;
    bool operator==(const Page&) const = default;
  };

  explicit TLocalSnppServer(const std::filesystem::path& folder);

  uint16_t Port() const { return process_->Port(); }
  std::vector<Page> Pages() const;
  // The arguments of each LOGI, split at blanks.
  std::vector<std::vector<std::string>> Logins() const;

private:
  std::vector<std::string> RecordLines() const;

  std::filesystem::path record_;
  std::unique_ptr<TLocalPeerProcess> process_;
};

} // namespace voxmit::test
