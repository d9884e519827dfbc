#include "clients/ResultClaims.h"

#include <exception>
#include <string>

#include <Poco/Data/Session.h>
#include <Poco/Data/Statement.h>

#include "host/LogFile.h"
#include "store/DbSession.h"
#include "store/dmodData.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

std::vector<bool> ClaimRows(Poco::Data::Session& session, const std::vector<int32_t>& ids) {
  int32_t id = 0;
  Poco::Data::Statement update(session);
  update << "UPDATE SentMessages SET SendConfirmed = 1 WHERE ID = ? AND SendConfirmed = 0",
      use(id);
  std::vector<bool> claimed(ids.size(), false);
  for (size_t i = 0; i < ids.size(); ++i) {
    id = ids[i];
    claimed[i] = update.execute() == 1;
  }
  return claimed;
}

} // namespace

std::vector<bool> TResultClaims::Claim(TDMData& data, const std::vector<int32_t>& ids) {
  if (ids.empty()) return {};
  try {
    Poco::Data::Session& session = data.ThreadSession();
    return RunWriteTransaction(session, [&](auto& session) { return ClaimRows(session, ids); });
  } catch (const std::exception& e) {
    LogMessage("TNClientConfirmationsThread, marking " + std::to_string(ids.size()) +
               " results from " + std::to_string(ids.front()) +
               " confirmed failed: " + ErrorText(e));
    return std::vector<bool>(ids.size(), false);
  }
}

} // namespace voxmit
