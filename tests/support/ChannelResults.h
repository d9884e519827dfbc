#pragma once
// Collecting a channel's finished parts the way its iterator would, for tests that drive
// channels without one. Test thread only.

#include <chrono>
#include <memory>
#include <vector>

#include "channels/BaseChannel.h"
#include "platform/ThreadRegistry.h"
#include "support/WaitUntil.h"

namespace voxmit::test {

// Collects finished parts until count came back; fewer when the deadline passed.
inline std::vector<std::shared_ptr<TNBaseChannelMessage>> CollectResults(
    TNBaseCarrierChannel& channel, size_t count, std::chrono::milliseconds deadline) {
  std::vector<std::shared_ptr<TNBaseChannelMessage>> parts;
  WaitUntil(
      [&] {
        while (auto part = channel.DequeueResult()) parts.push_back(part);
        return parts.size() >= count;
      },
      deadline);
  return parts;
}

// Closes every channel and collects what they hand back until every channel thread of the
// process has ended (a closing channel waits until its results are collected); false when one
// was still running at the deadline.
inline bool CloseAndDrain(const std::vector<std::shared_ptr<TNBaseCarrierChannel>>& channels,
                          std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  for (const auto& channel : channels) channel->Close();
  return WaitUntil(
      [&] {
        for (const auto& channel : channels)
          while (channel->DequeueResult()) {
          }
        return TNThreadRegistry::Instance().Running() == 0;
      },
      deadline);
}

} // namespace voxmit::test
