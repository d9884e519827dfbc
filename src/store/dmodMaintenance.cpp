#include "store/dmodMaintenance.h"

#include <algorithm>
#include <vector>

#include <Poco/Format.h>

#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "store/schema.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

// Moves finished results to the archive. Both tables have the same columns in the same
// order; the archive numbers its own rows, so every column but the first is copied.
void ArchiveResults(Poco::Data::Session& session, const std::string& cutoff) {
  const std::string columns = ColumnList("SentMessages", 1);
  const std::string where = " WHERE (SendConfirmed = 1) OR (TimeSent < ?)";
  session << "INSERT INTO ArchivedMessages (" + columns + ") SELECT " + columns +
                 " FROM SentMessages" + where + " ORDER BY ID",
      bind(cutoff), now;
  session << "DELETE FROM SentMessages" + where, bind(cutoff), now;
}

} // namespace

TDmMaintenance::TDmMaintenance(TDMData& data) : data_(data) {}

TDmMaintenance::~TDmMaintenance() { StopMaintenance(); }

void TDmMaintenance::StartupCleanup() {
  DeleteMarkedSending();
  DeleteUnusedCarriers();
}

void TDmMaintenance::SetWakeClient(TWakeClient wake) { wake_ = std::move(wake); }

int32_t TDmMaintenance::DeleteMarkedSending() {
  Poco::Data::Session& session = data_.ThreadSession();
  const TFinishedMessages abandoned = RunWriteTransaction(session, [&](auto& session) {
    return FinishMessageRows(session, {"Sending = 1", {}}, MSE_ABANDONED);
  });
  if (abandoned.Count() > 0)
    LogMessage(Poco::format("Maintenance: %d message(s) left in sending abandoned.",
                            abandoned.Count()));
  abandoned.WakeClients(wake_);
  return abandoned.Count();
}

int32_t TDmMaintenance::DeleteUnusedCarriers() {
  Poco::Data::Session& session = data_.ThreadSession();
  return RunWriteTransaction(session, [&](auto& session) {
    Poco::Data::Statement remove(session);
    remove << "DELETE FROM Carriers WHERE "
              "NOT EXISTS (SELECT 1 FROM Messages m WHERE m.CarrierID = Carriers.CarrierID) AND "
              "NOT EXISTS (SELECT 1 FROM SentMessages s WHERE s.CarrierID = Carriers.CarrierID) "
              "AND NOT EXISTS (SELECT 1 FROM ArchivedMessages a "
              "WHERE a.CarrierID = Carriers.CarrierID)";
    return static_cast<int32_t>(remove.execute());
  });
}

void TDmMaintenance::StartMaintenance() {
  if (thread_.Started()) return;
  settings::ClampMaintenancePeriod();
  thread_.Start([this] { ThreadBody(); });
}

void TDmMaintenance::StopMaintenance() {
  thread_.Terminate();
  thread_.WaitFor();
}

bool TDmMaintenance::MaintenancePass() {
  bool done = false;
  try {
    Poco::Data::Session& session = data_.ThreadSession();
    const TFinishedMessages abandoned = RunWriteTransaction(session, [&](auto& session) {
      const TMessageSelection unsent{"(Sending = 0) AND (TimeReceived < ?)",
                                     {DbCutoff(settings::MaxUnsentMessageAge)}};
      TFinishedMessages finished = FinishMessageRows(session, unsent, MSE_ABANDONED);
      session << "DELETE FROM ArchivedMessages WHERE TimeReceived < ?",
          bind(DbCutoff(settings::MaxArchivedMessageAge)), now;
      ArchiveResults(session, DbCutoff(settings::MaxUnconfirmedMessageAge));
      return finished;
    });
    if (abandoned.Count() > 0)
      LogMessage(Poco::format("Maintenance: %d unsent message(s) abandoned.", abandoned.Count()));
    // Their clients hear at once, not at their next requery.
    abandoned.WakeClients(wake_);
    done = true;
  } catch (const std::exception& e) {
    LogMessage("Maintenance: pass failed: " + ErrorText(e));
  }
  ++passCount_;
  return done;
}

void TDmMaintenance::ThreadBody() {
  do {
    MaintenancePass();
  } while (WaitForNextPass(std::chrono::steady_clock::now()));
  data_.ReleaseThreadSession();
}

bool TDmMaintenance::WaitForNextPass(std::chrono::steady_clock::time_point lastPass) {
  for (;;) {
    const int32_t slice = std::max<int32_t>(1, settings::ThreadWaitLoopTimeout);
    if (thread_.StopEvent().Wait(slice) == wrSignaled) return false;
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(
                             std::chrono::steady_clock::now() - lastPass)
                             .count();
    if (minutes >= settings::MaintenancePeriod) return true;
  }
}

} // namespace voxmit
