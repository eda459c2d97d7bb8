#pragma once

#include <string>

#include "service/run_state.h"

namespace rivelo::servers {

// What each server task receives: its own copy of the root directory and its
// own run-state reference.
struct UnitContext {
    std::wstring root_dir;
    service::RunStateRef run_state;
};

}  // namespace rivelo::servers
