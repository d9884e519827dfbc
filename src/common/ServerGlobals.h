#pragma once
// Server-wide objects that exist only while the server runs. StartServer creates them before
// any thread that uses them starts, and StopServer releases them after those threads ended, so
// the pointers themselves never change while another thread reads them.

#include <memory>

#include "common/BaseContainers.h"

namespace voxmit {

inline std::shared_ptr<TCarriersList> CarriersList;
inline std::shared_ptr<TClientsList> ClientsList;
inline std::shared_ptr<TInputMessageQueue> InputMessageQueue;

} // namespace voxmit
