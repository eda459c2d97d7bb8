#include "support/fatal_message.h"

#include "platform/failure.h"

namespace rivelo::test {

std::optional<std::wstring> fatal_message(const std::function<void()>& body) {
    try {
        body();
    } catch (const platform::FatalError& error) {
        return error.message();
    }
    return std::nullopt;
}

}  // namespace rivelo::test
