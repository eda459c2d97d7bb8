#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace rivelo::test {

// How long one call to the service control manager may take before the run is
// taken as hung. Wine's manager gives a service at most about a minute to take
// a request (30 s for its control lock, then 10 s to pass the request on and
// 10 s for the answer), so a call still out after this will not return.
inline constexpr std::chrono::milliseconds kServiceCallBound = std::chrono::minutes(2);

// Makes `call` on a worker thread and waits up to `bound` for it to return.
// Returns what it returned and leaves what it left in GetLastError in this
// thread's last error. A call still out after `bound` ends the program with
// status 1 after writing, on standard error, "<what> has not returned after
// N s; " and what `seen` tells at that moment: a hang must fail the run with
// what was seen, not stall it, and the stuck thread cannot be abandoned.
// `seen` gets a bound of its own, since whatever blocked the call may block
// it too.
bool call_with_watchdog(const std::string& what, std::chrono::milliseconds bound,
                        const std::function<bool()>& call,
                        const std::function<std::string()>& seen);

}  // namespace rivelo::test
