#pragma once

#include <functional>
#include <optional>
#include <string>

namespace rivelo::test {

// The message of the FatalError that the body throws; none when it returns.
std::optional<std::wstring> fatal_message(const std::function<void()>& body);

}  // namespace rivelo::test
