// The channel worker driven through a scripted carrier: connecting, sending, retries,
// reconnecting, every failure path and the stop path.

#include <mutex>
#include <regex>
#include <thread>

#include "channels/ChannelFixture.h"

namespace voxmit::test {
namespace {

using ChannelWorkerTest = ChannelFixture;

TEST_F(ChannelWorkerTest, SendsQueuedPartsAndLogsEveryStep) {
  settings::AddDateToMsg = true;
  LogCapture log;
  HoldDevice();
  auto channel = Create();
  channel->EnqueueMessage(11, "555", "hello\r\n", 0);
  ReleaseDevice();

  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->MessageText, "hello");
  EXPECT_EQ(parts[0]->PagerID, "555");
  EXPECT_EQ(parts[0]->ID, 11);
  EXPECT_TRUE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Disconnect") == 1; }));
  channel->Close();
  ASSERT_TRUE(WaitUntil([&] { return log.HasPart("Finishing Execute"); }));

  EXPECT_EQ(script_->Journal(), (std::vector<std::string>{"InitPort", "InitDevice", "Connect",
                                                          "Send:hello", "Disconnect", "ResetPort"}));
  // Every line, with the repeated waits for the device collapsed into one.
  std::vector<std::string> lines;
  for (const auto& line : log.Lines())
    if (lines.empty() || line != lines.back()) lines.push_back(line);
  const std::string p = "ChannelThread (TScriptedChannel)(Modem 1), ";
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[0], "Creating Channel: class: \"TScriptedChannel\", CarrierID: \"7\" ");
  EXPECT_EQ(lines[1], p + "waiting for Device");
  EXPECT_EQ(lines[2], p + "got the Device");
  EXPECT_EQ(lines[3], p + "Port Init OK");
  EXPECT_EQ(lines[4], p + "Registering New Channel");
  EXPECT_EQ(lines[5], "There are messages in the Fifo");
  EXPECT_EQ(lines[6], p + "Connecting");
  EXPECT_EQ(lines[7], p + "Connected OK");
  EXPECT_EQ(lines[8], "ChannelThread (Modem 1)(TScriptedChannel), Sending Message: \"hello\"");
  EXPECT_TRUE(std::regex_match(lines[9], std::regex(R"(\d{4}/\d\d/\d\d/\d\d:\d\d:\d\d)")))
      << lines[9];
  EXPECT_EQ(lines[10], p + "Dissconnecting");
  EXPECT_EQ(lines[11], p + "Terminated - Resetting the port (freeing the device)");
  EXPECT_EQ(lines[12], p + "FiFoOut.WaitForEmpty");
  EXPECT_EQ(lines[13], p + "FiFoOut.WaitForEmpty OK");
  EXPECT_EQ(lines[14], p + "Unregistering Channel");
  EXPECT_TRUE(std::regex_match(lines[15], std::regex(R"(.*, Freeing Channel\(\$[0-9a-f]{8,}\))")))
      << lines[15];
  EXPECT_EQ(lines[16], "ChannelThread (Modem 1), Finishing Execute");
  EXPECT_TRUE(device_->FreeEvent.IsSet());
  EXPECT_FALSE(Registered(*channel));
}

TEST_F(ChannelWorkerTest, ALongMessageTravelsAsTaggedPartsOfOneID) {
  script_->MaxMessageLength = 20;
  HoldDevice();
  auto channel = Create();
  channel->EnqueueMessage(3, "555", "0123456789ABCDEFGHIJabcdefghij", 1);
  EXPECT_EQ(channel->FiFoIn().Count(), 5);
  ReleaseDevice();
  const auto parts = Collect(*channel, 5);
  ASSERT_EQ(parts.size(), 5u);
  EXPECT_EQ(parts[0]->MessageText, "(Msg1 of 5)012345678");
  EXPECT_EQ(parts[4]->MessageText, "(Msg5 of 5)");
  for (const auto& part : parts) {
    EXPECT_EQ(part->ID, 3);
    EXPECT_EQ(part->RetryTimes, 1);
    EXPECT_EQ(part->SendError, MSE_OK);
  }
}

// A part the carrier keeps refusing is tried MessageRetries + 1 times in all, counting the
// attempts stored with the message, while the parts behind it go out in between.
TEST_F(ChannelWorkerTest, ARefusedPartIsRetriedBehindTheOthersUntilTheRetriesRunOut) {
  struct Case {
    int32_t storedRetries;
    int32_t attempts;
  };
  for (const Case c : {Case{0, 4}, Case{2, 2}, Case{5, 1}}) {
    SCOPED_TRACE("stored retries " + std::to_string(c.storedRetries));
    script_ = std::make_shared<TChannelScript>();
    script_->SetSend([](const TNBaseChannelMessage& part, int32_t) {
      return part.MessageText == "bad" ? srRetry : srSent;
    });
    HoldDevice();
    auto channel = Create();
    channel->EnqueueMessage(1, "555", "bad", c.storedRetries);
    channel->EnqueueMessage(2, "555", "good1", 0);
    channel->EnqueueMessage(3, "555", "good2", 0);
    ReleaseDevice();

    const auto parts = Collect(*channel, 3);
    ASSERT_EQ(parts.size(), 3u);
    const auto badAt = std::find_if(parts.begin(), parts.end(),
                                    [](const TPart& part) { return part->ID == 1; });
    ASSERT_NE(badAt, parts.end());
    const TPart bad = *badAt;
    EXPECT_TRUE(bad->Taken);
    EXPECT_EQ(bad->SendError, MSE_RETRIES_EXCEEDED);
    EXPECT_EQ(bad->RetryTimes, c.storedRetries + c.attempts);
    EXPECT_EQ(script_->CountOf("Send:bad"), c.attempts);
    const auto sends = Sends(script_->Journal());
    ASSERT_GE(sends.size(), 3u);
    EXPECT_EQ(sends[0], "Send:bad");
    EXPECT_EQ(sends[1], "Send:good1");  // not held up by the refused part
    EXPECT_EQ(sends[2], "Send:good2");
    channel->Close();
    ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  }
}

TEST_F(ChannelWorkerTest, SendResultsBecomeTheirErrors) {
  const std::vector<std::pair<TChannelSendResult, TMessageSendError>> cases = {
      {srSent, MSE_OK}, {srAbandon, MSE_ABANDONED}};
  for (const auto& [result, error] : cases) {
    script_ = std::make_shared<TChannelScript>();
    script_->DefaultSendResult = result;
    auto channel = Create();
    channel->EnqueueMessage(1, "555", "text", 0);
    const auto parts = Collect(*channel, 1);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->SendError, error) << result;
    EXPECT_EQ(script_->CountOf("Send:text"), 1) << result;
    channel->Close();  // the next channel needs the device
    ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  }
}

// A hang-up request or a missing answer drops the line; the part is tried again on a new
// connection.
TEST_F(ChannelWorkerTest, AHangUpOrNoAnswerDropsTheLineAndTheNextAttemptReconnects) {
  for (const TChannelSendResult first : {srProviderHangUp, srNoAnswer}) {
    SCOPED_TRACE(first);
    LogCapture log;
    script_ = std::make_shared<TChannelScript>();
    script_->SendResults = {first};
    HoldDevice();
    auto channel = Create();
    channel->EnqueueMessage(1, "555", "p", 0);
    ReleaseDevice();
    const auto parts = Collect(*channel, 1);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->SendError, MSE_OK);
    EXPECT_EQ(parts[0]->RetryTimes, 1);
    ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Disconnect") == 1; }));
    EXPECT_EQ(script_->Journal(),
              (std::vector<std::string>{"InitPort", "InitDevice", "Connect", "Send:p", "HangUp",
                                        "InitDevice", "Connect", "Send:p", "Disconnect"}));
    EXPECT_TRUE(log.Has(
        "ChannelThread (TScriptedChannel)(Modem 1), Hanging-Up on Provider's Request"));
    channel->Close();
    ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  }
}

TEST_F(ChannelWorkerTest, OneMessagePerConnectionReconnectsBetweenParts) {
  script_->MaxMessagesPerConnection = 1;
  LogCapture log;
  HoldDevice();
  auto channel = Create();
  for (const char* text : {"a", "b", "c"}) channel->EnqueueMessage(1, "555", text, 0);
  ReleaseDevice();
  const auto parts = Collect(*channel, 3);
  ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Disconnect") == 3; }));
  EXPECT_EQ(script_->Journal(),
            (std::vector<std::string>{"InitPort", "InitDevice", "Connect", "Send:a", "Disconnect",
                                      "InitDevice", "Connect", "Send:b", "Disconnect",
                                      "InitDevice", "Connect", "Send:c", "Disconnect"}));
  EXPECT_TRUE(log.Has("ChannelThread (TScriptedChannel)(Modem 1), Disconnecting"));
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_OK);
}

TEST_F(ChannelWorkerTest, AStopWhileConnectedDisconnectsThenResetsAndReturnsUntriedParts) {
  script_->GateSends = true;
  HoldDevice();
  auto channel = Create();
  for (const char* text : {"a", "b", "c"}) channel->EnqueueMessage(1, "555", text, 0);
  ReleaseDevice();
  ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Send:a") == 1; }));
  channel->Close();
  script_->OpenGate();

  const auto parts = Collect(*channel, 3);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0]->MessageText, "a");
  EXPECT_TRUE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  for (size_t i : {1u, 2u}) {
    EXPECT_FALSE(parts[i]->Taken) << parts[i]->MessageText;
    EXPECT_EQ(parts[i]->SendError, MSE_OK);
  }
  ASSERT_TRUE(WaitUntil([&] { return !Registered(*channel); }));
  EXPECT_EQ(script_->Journal(), (std::vector<std::string>{"InitPort", "InitDevice", "Connect",
                                                          "Send:a", "Disconnect", "ResetPort"}));
  EXPECT_TRUE(device_->FreeEvent.IsSet());
}

// A part requeued after a refusal is not finished: when the channel stops before trying it
// again, it comes back untaken (to be sent later) with its attempts counted, never as sent.
TEST_F(ChannelWorkerTest, ARequeuedPartHandedBackByTheStopPathIsNotReportedSent) {
  TNEvent yStarted, releaseY;
  script_->SetSend([&](const TNBaseChannelMessage& part, int32_t) {
    if (part.MessageText == "y") {
      yStarted.Set();
      releaseY.Wait(30000);
    }
    return part.MessageText == "x" ? srRetry : srSent;
  });
  HoldDevice();
  auto channel = Create();
  channel->EnqueueMessage(1, "555", "x", 0);
  channel->EnqueueMessage(2, "555", "y", 0);
  ReleaseDevice();
  ASSERT_EQ(yStarted.Wait(20000), wrSignaled);
  channel->Close();
  releaseY.Set();

  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->MessageText, "y");
  EXPECT_TRUE(parts[0]->Taken);
  EXPECT_EQ(parts[1]->MessageText, "x");
  EXPECT_FALSE(parts[1]->Taken);
  EXPECT_EQ(parts[1]->SendError, MSE_OK);
  EXPECT_EQ(parts[1]->RetryTimes, 1);
}

TEST_F(ChannelWorkerTest, APortThatCannotBeOpenedFailsEveryPartAndTheChannelLeaves) {
  script_->InitPortResult = false;
  LogCapture log;
  HoldDevice();
  auto channel = Create();
  channel->EnqueueMessage(1, "555", "x", 0);
  channel->EnqueueMessage(2, "555", "y", 0);
  std::weak_ptr<TNBaseCarrierChannel> watch = channel;
  channels_.clear();
  channel.reset();
  ReleaseDevice();

  std::vector<TPart> parts;
  ASSERT_TRUE(WaitUntil([&] {
    auto alive = watch.lock();
    if (!alive) return true;
    while (auto part = alive->DequeueResult()) parts.push_back(part);
    return false;
  })) << "the channel did not end by itself";
  ASSERT_EQ(parts.size(), 2u);
  for (const auto& part : parts) {
    EXPECT_TRUE(part->Taken);
    EXPECT_EQ(part->SendError, MSE_NO_PORT);
  }
  EXPECT_EQ(list_->Count(), 0);
  EXPECT_EQ(script_->Journal(), (std::vector<std::string>{"InitPort", "ResetPort"}));
  EXPECT_TRUE(log.Has("ChannelThread (TScriptedChannel)(Modem 1), Port Init ERROR"));
  EXPECT_TRUE(device_->FreeEvent.IsSet());
}

struct ConnectFailure {
  const char* name;
  bool deviceReady;
  TChannelConnectResult connectResult;
  TMessageSendError error;
  int32_t connects;     // Connect calls for two parts
  int32_t deviceInits;  // InitDevice calls for two parts
};

class ConnectFailureTest : public ChannelFixture,
                           public ::testing::WithParamInterface<ConnectFailure> {};

// A failed connection is never tried again by the same channel: every part gets the error
// and the channel closes itself once its queue is empty.
TEST_P(ConnectFailureTest, EveryPartGetsTheMatchingErrorAndTheChannelCloses) {
  const ConnectFailure& c = GetParam();
  script_->InitDeviceResult = c.deviceReady;
  script_->ConnectResult = c.connectResult;
  HoldDevice();
  auto channel = Create();
  channel->EnqueueMessage(1, "555", "x", 0);
  channel->EnqueueMessage(2, "555", "y", 0);
  ReleaseDevice();
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  for (const auto& part : parts) {
    EXPECT_TRUE(part->Taken);
    EXPECT_EQ(part->SendError, c.error);
  }
  ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  EXPECT_TRUE(channel->Closing());
  EXPECT_FALSE(Registered(*channel));
  EXPECT_EQ(script_->CountOf("Connect"), c.connects);
  EXPECT_EQ(script_->CountOf("InitDevice"), c.deviceInits);
  EXPECT_TRUE(Sends(script_->Journal()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ConnectFailureTest,
    ::testing::Values(
        ConnectFailure{"NoConnection", true, crNoConnection, MSE_NO_CONNECTION, 1, 1},
        ConnectFailure{"NoLogonRequest", true, crNoLogonRequest, MSE_NO_LOGON_REQUEST, 1, 1},
        ConnectFailure{"LogonError", true, crLogonError, MSE_LOGON_ERROR, 1, 1},
        ConnectFailure{"OutOfRange", true, static_cast<TChannelConnectResult>(9),
                       MSE_NO_CONNECTION, 1, 1},
        // A device that does not answer is tried again for every part (and once more when the
        // queue has run empty).
        ConnectFailure{"DeviceNotReady", false, crConnected, MSE_NO_DEVICE, 0, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelWorkerTest, AStopWhileWaitingForTheDeviceLeavesDeviceAndPortAlone) {
  LogCapture log;
  HoldDevice();
  auto channel = Create();
  ASSERT_TRUE(WaitUntil([&] { return log.HasPart("waiting for Device"); }));
  channel->Close();
  ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  EXPECT_TRUE(script_->Journal().empty());
  EXPECT_FALSE(device_->FreeEvent.IsSet()) << "released a device it never held";
  EXPECT_FALSE(log.HasPart("got the Device"));
  EXPECT_FALSE(log.HasPart("Registering"));
  EXPECT_TRUE(log.Has("ChannelThread (Modem 1), Finishing Execute"));
}

TEST_F(ChannelWorkerTest, TwoChannelsTakeTurnsOnOneDevice) {
  LogCapture log;
  auto first = Create(7);
  ASSERT_TRUE(WaitUntil([&] { return Registered(*first); }));
  auto second = Create(8);
  // The second channel keeps waiting (one line per wait) while the first holds the device.
  const auto waits = [&] {
    const auto& lines = log.Lines();
    return std::count(lines.begin(), lines.end(),
                      "ChannelThread (TScriptedChannel)(Modem 1), waiting for Device");
  };
  ASSERT_TRUE(WaitUntil([&] { return waits() >= 4; }));
  EXPECT_FALSE(Registered(*second));
  first->Close();
  ASSERT_TRUE(WaitUntil([&] { return Registered(*second); }));
  EXPECT_FALSE(Registered(*first));
  EXPECT_FALSE(device_->FreeEvent.IsSet());
}

TEST_F(ChannelWorkerTest, PartsQueuedAfterTheStopPathComeStraightBackUntried) {
  auto channel = Create();
  ASSERT_TRUE(WaitUntil([&] { return Registered(*channel); }));
  channel->Close();
  ASSERT_TRUE(WaitUntil([&] { return !Registered(*channel); }));
  channel->EnqueueMessage(4, "555", "late", 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_FALSE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->ID, 4);
}

// The send thread picks a channel and hands it a message under the list's read lock; a channel
// closed in between may already have emptied its queues and waited for its results. The part
// it is given then must still reach the iterator before the channel leaves the list.
TEST_F(ChannelWorkerTest, APartHandedOverWhileTheChannelLeavesIsCollectedBeforeItGoes) {
  LogCapture log;
  auto channel = Create();
  ASSERT_TRUE(WaitUntil([&] { return Registered(*channel); }));
  {
    TNReadLock lock(list_->Lock());  // held as the send thread holds it
    channel->Close();
    ASSERT_TRUE(WaitUntil([&] { return log.HasPart("FiFoOut.WaitForEmpty OK"); }));
    channel->EnqueueMessage(5, "555", "late", 0);
  }
  // As the receive thread collects: through the list.
  TPart part;
  ASSERT_TRUE(WaitUntil([&] {
    TNReadLock lock(list_->Lock());
    if (auto found = FindChannelByResultEvent(*list_, channel->FiFoOut().Event(stNotEmpty)))
      part = found->DequeueResult();
    return part != nullptr;
  })) << "the channel left the list with the part still in it";
  EXPECT_EQ(part->ID, 5);
  EXPECT_FALSE(part->Taken);
  EXPECT_TRUE(WaitUntil([&] { return !Registered(*channel); }));
}

TEST_F(ChannelWorkerTest, AChannelWhoseIteratorIsGoneStopsWaitingForItsDevice) {
  HoldDevice();
  std::weak_ptr<TNBaseCarrierChannel> watch = Create();
  channels_.clear();
  list_.reset();
  ASSERT_TRUE(WaitUntil([&] { return watch.expired(); }));
  EXPECT_TRUE(script_->Journal().empty());
}

TEST_F(ChannelWorkerTest, ReadyEventFollowsBothHighMarksAndClosing) {
  script_->Limits = {2, 2};
  script_->GateSends = true;
  auto channel = Create();
  ASSERT_TRUE(WaitUntil([&] { return Registered(*channel); }));
  EXPECT_TRUE(channel->ReadyEvent().IsSet());
  channel->EnqueueMessage(1, "555", "a", 0);
  ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Send:a") == 1; }));
  EXPECT_TRUE(channel->ReadyEvent().IsSet());
  channel->EnqueueMessage(2, "555", "b", 0);  // FiFoIn reaches its mark of 2
  EXPECT_FALSE(channel->ReadyEvent().IsSet());
  script_->OpenGate();
  // Both sent and waiting in FiFoOut, which has reached its own mark.
  ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Disconnect") == 1; }));
  EXPECT_FALSE(channel->ReadyEvent().IsSet());
  ASSERT_NE(channel->DequeueResult(), nullptr);
  EXPECT_TRUE(channel->ReadyEvent().IsSet());
  channel->EnqueueMessage(3, "555", "c", 0);
  ASSERT_TRUE(WaitUntil([&] { return !channel->ReadyEvent().IsSet(); }));
  channel->Close();
  EXPECT_TRUE(channel->ReadyEvent().IsSet());
}

TEST_F(ChannelWorkerTest, BufferLimitsBelowOneStillLetTheChannelTakeWork) {
  script_->Limits = {0, -5};
  auto channel = Create();
  ASSERT_TRUE(WaitUntil([&] { return Registered(*channel); }));
  EXPECT_TRUE(channel->ReadyEvent().IsSet());
  channel->EnqueueMessage(1, "555", "a", 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  EXPECT_TRUE(channel->ReadyEvent().IsSet());
}

// An iterator's two sides at full speed against a refusing carrier, with a stop in the middle
// of the stream: every part comes back exactly once, finished or untried, none lost.
TEST_F(ChannelWorkerTest, EveryPartComesBackExactlyOnceWhenStoppedMidStream) {
  constexpr int32_t kMessages = 400;
  script_->Limits = {5, 5};
  script_->SetSend([](const TNBaseChannelMessage& part, int32_t) {
    return part.ID % 7 == 0 ? srRetry : part.ID % 11 == 0 ? srNoAnswer : srSent;
  });
  auto channel = Create();
  ASSERT_TRUE(WaitUntil([&] { return Registered(*channel); }));

  std::thread producer([&] {
    for (int32_t id = 0; id < kMessages; ++id) {
      channel->ReadyEvent().Wait(1000);  // as the send thread would, but enqueue regardless
      channel->EnqueueMessage(id, "555", "m" + std::to_string(id), 0);
    }
  });
  std::vector<int32_t> seen(kMessages, 0);
  int32_t collected = 0, untried = 0;
  const bool complete = WaitUntil(
      [&] {
        while (auto part = channel->DequeueResult()) {
          ++seen.at(part->ID);
          ++collected;
          if (!part->Taken) ++untried;
          if (collected == kMessages / 2) channel->Close();
        }
        return collected >= kMessages;
      },
      std::chrono::seconds(60));
  producer.join();
  ASSERT_TRUE(complete) << collected << " of " << kMessages;
  for (int32_t id = 0; id < kMessages; ++id) EXPECT_EQ(seen[id], 1) << "message " << id;
  EXPECT_EQ(channel->DequeueResult(), nullptr);
  EXPECT_GT(untried, 0);
}

// Settings a carrier cannot read, and carrier code that throws, end single messages with a
// result and a log line; they stop nothing.
TEST_F(ChannelWorkerTest, UnreadableSettingsAbandonWhatCannotBeSplitAndTheChannelGoesOn) {
  script_->ThrowOnParse = true;  // MaxMessageLength stays 0
  LogCapture log;
  auto channel = Create();
  channel->EnqueueMessage(9, "555", "some text", 0);
  channel->EnqueueMessage(10, "555", "  ", 0);  // cleans to an empty part, which fits
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->ID, 9);
  EXPECT_TRUE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->SendError, MSE_ABANDONED);
  EXPECT_EQ(parts[0]->MessageText, "some text");
  EXPECT_EQ(parts[1]->ID, 10);
  EXPECT_EQ(parts[1]->SendError, MSE_OK);
  EXPECT_TRUE(log.HasPart("ParseCarrierSettings failed: unreadable carrier settings"));
  EXPECT_TRUE(log.HasPart("Message 9 abandoned"));
}

TEST_F(ChannelWorkerTest, ThrowingCarrierCodeCountsAsAFailedStep) {
  LogCapture log;
  script_->SetSend([](const TNBaseChannelMessage& part, int32_t) -> TChannelSendResult {
    if (part.MessageText == "boom") throw std::runtime_error("carrier exploded");
    return srSent;
  });
  auto channel = Create();
  channel->EnqueueMessage(1, "555", "boom", 0);
  channel->EnqueueMessage(2, "555", "fine", 0);
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->MessageText, "fine");
  EXPECT_EQ(parts[1]->SendError, MSE_RETRIES_EXCEEDED);
  EXPECT_EQ(script_->CountOf("Send:boom"), 4);
  EXPECT_TRUE(log.HasPart("SendMessage failed: carrier exploded"));
}

TEST_F(ChannelWorkerTest, TheClassChoosesWhatAnEscapingExceptionStandsFor) {
  script_->ExceptionResult = srAbandon;
  script_->SetSend([](const TNBaseChannelMessage&, int32_t) -> TChannelSendResult {
    throw std::runtime_error("socket gone");
  });
  auto channel = Create();
  channel->EnqueueMessage(1, "555", "boom", 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->SendError, MSE_ABANDONED);
  EXPECT_EQ(script_->CountOf("Send:boom"), 1);  // abandoned at once, never retried
}

// A carrier stuck in a dialogue with a silent peer must not hold up a stop: Close reaches it
// through OnClose and WaitOrStop, and the part goes back untried.
TEST_F(ChannelWorkerTest, CloseEndsACarrierWaitAndCallsOnCloseOnce) {
  script_->SendWaitsForStop = true;
  auto channel = Create();
  channel->EnqueueMessage(4, "555", "stuck", 0);
  ASSERT_TRUE(WaitUntil([&] { return script_->CountOf("Send:stuck") == 1; }));
  const auto closedAt = std::chrono::steady_clock::now();
  std::thread other([&] { channel->Close(); });
  channel->Close();
  other.join();
  const auto parts = Collect(*channel, 1);
  ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  EXPECT_LT(std::chrono::steady_clock::now() - closedAt, std::chrono::seconds(5));
  EXPECT_EQ(script_->OnCloseCalls, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_FALSE(parts[0]->Taken);  // handed back to be sent later
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
}

TEST_F(ChannelWorkerTest, PortAndDeviceTroubleReachTheClientsThroughTheNoticeCallback) {
  std::mutex mutex;
  std::vector<std::string> notices;
  callbacks_.Notice = [&](const std::string& notice) {
    std::lock_guard lock(mutex);
    notices.push_back(notice);
  };
  script_->InitPortResult = false;
  auto channel = Create();
  channel->EnqueueMessage(1, "555", "a", 0);
  channel->EnqueueMessage(2, "555", "b", 0);
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->SendError, MSE_NO_PORT);
  std::lock_guard lock(mutex);
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "Server has problem initializing one of the ComPorts (device 'Modem 1'): "
                         "please refer to the Voxmit Support personnel."}));
}

TEST_F(ChannelWorkerTest, ChannelsWithoutAUsableDeviceAreRefused) {
  EXPECT_EQ(ScriptedChannelClass(script_)->Create(list_, CT_TAP, 1, "", nullptr), nullptr);
  const TNChannelClass throwing(
      "TBroken",
      [](const TNChannelArgs&) -> std::shared_ptr<TNBaseCarrierChannel> {
        throw std::runtime_error("no memory for it");
      },
      [] { return TBufferLimits{1, 1}; });
  LogCapture log;
  EXPECT_EQ(throwing.Create(list_, CT_TAP, 5, "", device_), nullptr);
  EXPECT_TRUE(log.HasPart("\"TBroken\", CarrierID: \"5\" failed: no memory for it"));
}

} // namespace
} // namespace voxmit::test
