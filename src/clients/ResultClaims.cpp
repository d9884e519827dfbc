#include "clients/ResultClaims.h"

#include <exception>
#include <string>

#include <Poco/Data/Session.h>

#include "host/LogFile.h"
#include "store/DbSession.h"
#include "store/SqlStatement.h"
#include "store/dmodData.h"

namespace voxmit {

namespace {

std::vector<bool> ClaimRows(Poco::Data::Session& session, const std::vector<int32_t>& ids) {
  TSqlStatement update(
      session, "UPDATE SentMessages SET SendConfirmed = 1 WHERE ID = ? AND SendConfirmed = 0");
  std::vector<bool> claimed(ids.size(), false);
  for (size_t i = 0; i < ids.size(); ++i) claimed[i] = update.Bind(1, ids[i]).Execute() == 1;
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
