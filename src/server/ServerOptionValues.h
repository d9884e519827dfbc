#pragma once
// The lifecycle's view of the options: the current values of the options it reads by name
// and the apply-all at start. UI thread only.

#include <string>

namespace voxmit {

bool OptionBool(const std::string& name);
int OptionInt(const std::string& name);
// Runs every option's apply handler once with the current values. While the server starts the
// log file is left alone: StartServer opens it afterwards.
void ApplyAllOptionValues(bool serverStarting);

} // namespace voxmit
