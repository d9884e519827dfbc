#pragma once
// Process start: command line, single-instance guard, the data modules, the main loop.

#include <memory>

namespace voxmit {

class THiddenForm;
struct TServerModules;

// The desktop interface, given to StartUp by the program entry (the layers below it know no
// widget toolkit). Both operations run on the main thread.
class TDesktop {
public:
  virtual ~TDesktop() = default;
  // First thing of a desktop run, before the single-instance guard: sets up the toolkit and
  // installs its operator interface. Returns 0, or the exit code when there is no desktop to
  // run on (the reason is printed).
  virtual int Prepare(int& argc, char** argv) = 0;
  // Runs the main loop with the hidden form and the process's modules until the operator
  // exits; returns the exit code. The form has flashed its icon and started the server when
  // AutoStartOnLoad asked for it.
  virtual int Run(THiddenForm& form, const TServerModules& modules) = 0;
};
using TDesktopFactory = std::unique_ptr<TDesktop> (*)();

// Runs the whole process; returns its exit code. Without --headless the desktop made by
// desktop runs (none: the process says so and ends with exit code 2).
int StartUp(int argc, char** argv, TDesktopFactory desktop = nullptr);

} // namespace voxmit
