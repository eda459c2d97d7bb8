#pragma once

#include <optional>
#include <string>
#include <system_error>

namespace rivelo::platform {

// The variable's value; empty optional when the variable is absent.
// A variable that is present but empty gives the empty text.
std::optional<std::wstring> get_environment_variable(const std::wstring& name);

std::error_code set_environment_variable(const std::wstring& name, const std::wstring& value);

}  // namespace rivelo::platform
