#pragma once
// Registers the channel class of every carrier built into the server in the process-wide
// registry (RegChannels.h). Called once from process start, on the main thread, before any
// iterator builds a channel; later calls do nothing.

namespace voxmit {

void RegisterCarrierChannels();

} // namespace voxmit
