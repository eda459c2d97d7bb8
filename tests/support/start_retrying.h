#pragma once

#include <windows.h>

namespace rivelo::test {

// Under load Wine now and then loses a new process in its start-up, and
// CreateProcessW fails with ERROR_INTERNAL_ERROR (1359). A test's own start
// of a program is then tried again, as a user would run the command again;
// any other error fails at once. `start` makes one CreateProcessW call and
// returns whether it succeeded; GetLastError() tells why not.
template <class Start>
bool start_retrying_lost(Start&& start) {
    bool started = start();
    for (int attempt = 1; !started && GetLastError() == ERROR_INTERNAL_ERROR && attempt < 5;
         ++attempt) {
        Sleep(50U * attempt);
        started = start();
    }
    return started;
}

}  // namespace rivelo::test
