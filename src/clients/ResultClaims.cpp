#include "clients/ResultClaims.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>

#include <Poco/Data/Session.h>
#include <Poco/Data/Statement.h>

#include "host/LogFile.h"
#include "store/DbSession.h"
#include "store/dmodData.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

struct TClaimRequest {
  TDMData* data = nullptr;
  const std::vector<int32_t>* ids = nullptr;
  std::vector<bool> claimed;
  bool done = false;
};

class TClaimQueue {
public:
  std::vector<bool> Claim(TDMData& data, const std::vector<int32_t>& ids);

private:
  std::vector<TClaimRequest*> TakeGroup(TDMData& data);
  bool Writing(const TDMData& data) const {
    return std::find(writing_.begin(), writing_.end(), &data) != writing_.end();
  }

  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<TClaimRequest*> pending_;
  std::vector<const TDMData*> writing_;  // databases whose group is being written
};

// Writes the claims of one request into the open transaction.
void ClaimRows(Poco::Data::Session& session, TClaimRequest& request) {
  int32_t id = 0;
  Poco::Data::Statement update(session);
  update << "UPDATE SentMessages SET SendConfirmed = 1 WHERE ID = ? AND SendConfirmed = 0",
      use(id);
  const std::vector<int32_t>& ids = *request.ids;
  request.claimed.assign(ids.size(), false);
  for (size_t i = 0; i < ids.size(); ++i) {
    id = ids[i];
    request.claimed[i] = update.execute() == 1;
  }
}

void LogFailure(const TClaimRequest& request, const std::exception& e) {
  LogMessage("TNClientConfirmationsThread, marking " + std::to_string(request.ids->size()) +
             " results from " + std::to_string(request.ids->front()) +
             " confirmed failed: " + ErrorText(e));
}

// Writes one group: all in one transaction, or each on its own when that fails.
void WriteGroup(TDMData& data, const std::vector<TClaimRequest*>& group) {
  try {
    Poco::Data::Session& session = data.ThreadSession();
    RunWriteTransaction(session, [&] {
      for (TClaimRequest* request : group) ClaimRows(session, *request);
    });
    return;
  } catch (const std::exception& e) {
    if (group.size() == 1) {
      group.front()->claimed.assign(group.front()->ids->size(), false);
      LogFailure(*group.front(), e);
      return;
    }
  }
  for (TClaimRequest* request : group) {
    try {
      Poco::Data::Session& session = data.ThreadSession();
      RunWriteTransaction(session, [&] { ClaimRows(session, *request); });
    } catch (const std::exception& e) {
      request->claimed.assign(request->ids->size(), false);
      LogFailure(*request, e);
    }
  }
}

std::vector<TClaimRequest*> TClaimQueue::TakeGroup(TDMData& data) {
  std::vector<TClaimRequest*> group;
  auto mine = std::stable_partition(pending_.begin(), pending_.end(),
                                    [&](const TClaimRequest* r) { return r->data == &data; });
  group.assign(pending_.begin(), mine);
  pending_.erase(pending_.begin(), mine);
  return group;
}

std::vector<bool> TClaimQueue::Claim(TDMData& data, const std::vector<int32_t>& ids) {
  TClaimRequest request;
  request.data = &data;
  request.ids = &ids;
  std::unique_lock lock(mutex_);
  pending_.push_back(&request);
  done_.wait(lock, [&] { return request.done || !Writing(data); });
  if (request.done) return std::move(request.claimed);

  // This caller leads: its own request is among those taken.
  writing_.push_back(&data);
  const std::vector<TClaimRequest*> group = TakeGroup(data);
  lock.unlock();
  WriteGroup(data, group);
  lock.lock();
  for (TClaimRequest* r : group) r->done = true;
  writing_.erase(std::find(writing_.begin(), writing_.end(), &data));
  lock.unlock();
  done_.notify_all();
  return std::move(request.claimed);
}

TClaimQueue& Queue() {
  static TClaimQueue queue;
  return queue;
}

} // namespace

std::vector<bool> TResultClaims::Claim(TDMData& data, const std::vector<int32_t>& ids) {
  if (ids.empty()) return {};
  return Queue().Claim(data, ids);
}

} // namespace voxmit
