#pragma once
// The desktop run of the program: a Qt application with the tray icon and its menu. The Qt
// main loop watches the posted-message queue's eventfd (TNMainLoop) and a signalfd for SIGINT
// and SIGTERM, so posted messages and stop signals are handled as in the headless run.

#include <memory>

#include "server/ServerProcess.h"

namespace voxmit {

// The factory StartUp takes.
std::unique_ptr<TDesktop> MakeQtDesktop();

} // namespace voxmit
