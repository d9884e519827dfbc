#pragma once
// Process start: command line, single-instance guard, the data modules, the main loop.

namespace voxmit {

class TDmMaintenance;

// Runs the whole process; returns its exit code.
int StartUp(int argc, char** argv);

// The process's maintenance module while the process runs, else nullptr.
TDmMaintenance* DmMaintenance();

} // namespace voxmit
