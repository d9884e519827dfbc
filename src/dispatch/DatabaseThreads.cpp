#include "dispatch/DatabaseThreads.h"

#include <array>
#include <exception>
#include <vector>

#include "clients/BaseClient.h"
#include "clients/TcpMessages.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "host/ServerSettings.h"
#include "store/Carrier.h"
#include "store/dmodData.h"

namespace voxmit {

// ---- TNewMessageThread ----------------------------------------------------------------------

TNewMessageThread::TNewMessageThread(std::shared_ptr<TInputMessageQueue> input,
                                     std::shared_ptr<TClientsList> clients,
                                     std::shared_ptr<TCarriersList> carriers, TDMData& data)
    : input_(std::move(input)), clients_(std::move(clients)), carriers_(std::move(carriers)),
      data_(data) {
  thread_.Start([this] { Execute(); });
}

void TNewMessageThread::Execute() {
  const std::array<const TNEvent*, 2> events{input_->Event(stNotEmpty), &thread_.StopEvent()};
  for (;;) {
    WaitForAny(events, settings::ThreadWaitLoopTimeout);
    auto item = Pop();
    if (!item) {
      if (StopRequested()) break;
      continue;
    }
    try {
      Handle(*item);
    } catch (const std::exception& e) {
      LogMessage(std::string("TNewMessageThread, ") + e.what());
    }
  }
  data_.ReleaseThreadSession();
}

std::shared_ptr<TServerInputMessage> TNewMessageThread::Pop() {
  TNWriteLock lock(input_->Lock());
  return input_->Pop();
}

void TNewMessageThread::Handle(const TServerInputMessage& item) {
  if (auto normal = dynamic_cast<const TServerNormalInputMessage*>(&item))
    Store(*normal);
  else if (auto unsent = dynamic_cast<const TServerUnsentInputMessage*>(&item))
    data_.MarkReplyUndelivered(unsent->MessageKind(), unsent->RecordID());
  // Anything else is dropped.
}

void TNewMessageThread::Store(const TServerNormalInputMessage& message) {
  if (storeLost_) return;
  const auto id =
      data_.InsertNewMessage(message.ClientGUID(), message.ClientRecordID(),
                             message.CarrierType(), message.CarrierID(), message.PagerID(),
                             message.MessageText());
  if (!id) return;
  // A row written to a file that is no longer at the path is lost with it: the client must
  // not hear that it was accepted.
  if (!StoreStillValid()) return;
  Acknowledge(message, *id);
  WakeCarrier(message.CarrierID());
}

void TNewMessageThread::Acknowledge(const TServerNormalInputMessage& message,
                                    int32_t recordID) {
  if (!clients_) return;
  // Held while the session is used: it cannot log off and go before the reply is queued.
  TNReadLock lock(clients_->Lock());
  if (auto client = FindClientByGUID(*clients_, message.ClientGUID()))
    client->QueueReply(MakeMessageAcceptedReply(message.ClientRecordID(), recordID));
}

bool TNewMessageThread::StoreStillValid() {
  if (storeLost_) return false;
  if (data_.FileIsStillAtPath()) return true;
  storeLost_ = true;
  const std::string warning =
      "The database file \"" + data_.File().string() +
      "\" was deleted or replaced while the server ran: no message is acknowledged any more "
      "and the server stops.";
  LogMessage("TNewMessageThread, " + warning);
  TNMainLoop::Instance().Post(WM_STOP_SERVER, 0, 0, warning);
  return false;
}

void TNewMessageThread::WakeCarrier(int32_t carrierID) {
  if (!carriers_) return;
  std::shared_ptr<TCarrier> carrier;
  {
    TNReadLock lock(carriers_->Lock());
    carrier = FindCarrierByID(*carriers_, carrierID);
  }
  if (carrier) carrier->NewMessageEvent.Set();
}

// ---- TNewCarrierThread ----------------------------------------------------------------------

TNewCarrierThread::TNewCarrierThread(std::shared_ptr<TCarriersList> carriers, TDMData& data)
    : carriers_(std::move(carriers)), data_(data) {
  thread_.Start([this] { Execute(); });
}

void TNewCarrierThread::Execute() {
  const TNEvent* notEmpty = carriers_->Event(stNotEmpty);
  const std::array<const TNEvent*, 2> events{notEmpty, &thread_.StopEvent()};
  // A carrier that could not be written is tried again after each wait slice: no further
  // carrier may come to wake the thread.
  bool retry = false;
  for (;;) {
    WaitForAny(events, settings::ThreadWaitLoopTimeout);
    if (notEmpty->IsSet() || retry) {
      try {
        retry = !StoreNewCarriers();
      } catch (const std::exception& e) {
        LogMessage(std::string("TNewCarrierThread, ") + e.what());
        retry = true;
      }
    }
    if (StopRequested() && !notEmpty->IsSet()) break;
  }
  data_.ReleaseThreadSession();
}

bool TNewCarrierThread::StoreNewCarriers() {
  std::vector<std::shared_ptr<TCarrier>> fresh;
  {
    TNWriteLock lock(carriers_->Lock());
    for (int32_t i = 0; i < carriers_->Count(); ++i) {
      auto carrier = carriers_->Items(i);
      if (carrier->IsNew) fresh.push_back(std::move(carrier));
    }
    // The list is never emptied while the server runs: without this NotEmpty would stay set.
    carriers_->ResetStates();
  }
  bool stored = true;
  for (const auto& carrier : fresh)
    if (!data_.StoreCarrier(*carrier)) stored = false;
  return stored;
}

} // namespace voxmit
