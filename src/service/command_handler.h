#pragma once

#include <string>

#include "launcher/options.h"
#include "service/run_state.h"
#include "service/service_handler.h"
#include "service/worker_pool.h"

namespace rivelo::service {

// The system's reaction to service commands: Start runs the servers as pool
// tasks, Stop tells them to stop and waits until every one has ended.
class CommandHandler final : public ServiceHandler {
public:
    CommandHandler(std::wstring root_dir, RunStateRef run_state, WorkerPool pool,
                   launcher::OptionMap options);

    void handle(ServiceHost& host, const ServiceCommand& command) override;

private:
    void start(ServiceHost& host);
    void stop();

    // Destroyed from the last member up: the run-state reference first, then
    // the pool (closed), the root directory and the options.
    launcher::OptionMap options_;
    std::wstring root_dir_;
    WorkerPool pool_;
    RunStateRef run_state_;
    bool stop_handled_ = false;
};

}  // namespace rivelo::service
