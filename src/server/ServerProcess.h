#pragma once
// Process start: command line, single-instance guard, the data modules, the main loop.

namespace voxmit {

// Runs the whole process; returns its exit code.
int StartUp(int argc, char** argv);

} // namespace voxmit
