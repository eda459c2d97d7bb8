#pragma once

#include <string>

#include "launcher/options.h"

namespace rivelo::service {

// Creates the worker pool, the run state and the command handler, and runs
// the service host until the service has stopped. Returns the exit status;
// started outside the service control manager it throws FatalError.
int hand_over(std::wstring root_dir, launcher::OptionMap options);

}  // namespace rivelo::service
