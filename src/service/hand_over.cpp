#include "service/hand_over.h"

#include <memory>
#include <utility>

#include "platform/failure.h"
#include "service/command_handler.h"
#include "service/run_state.h"
#include "service/service_host.h"
#include "service/worker_pool.h"

namespace rivelo::service {

namespace {

// Two server tasks and the optional dtrs task, each holding a thread while it runs.
constexpr std::uint32_t kMinimumThreads = 2;
constexpr std::uint32_t kMaximumThreads = 3;

}  // namespace

int hand_over(std::wstring root_dir, launcher::OptionMap options) {
    WorkerPool pool = WorkerPool::create();
    pool.set_thread_range(kMinimumThreads, kMaximumThreads);
    RunStateRef run_state = RunState::create(ServiceState::Stopped);

    ServiceHost host;
    auto handler = std::make_unique<CommandHandler>(std::move(root_dir), std::move(run_state),
                                                    std::move(pool), std::move(options));
    if (const auto failure = host.run(std::move(handler))) throw platform::FatalError(*failure);
    return 0;
}

}  // namespace rivelo::service
