#pragma once
// The four tray pictures, drawn rather than loaded so the program needs no resource files:
// running (green), stopped (red) and a pale flash frame of each. UI thread only.

#include <QIcon>

#include "platform/OperatorUi.h"

namespace voxmit {

QIcon MakeTrayIcon(TTrayIcon which);

} // namespace voxmit
