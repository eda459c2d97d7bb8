#include "service/command_handler.h"

#include <utility>

#include "servers/database_unit.h"
#include "servers/dtrs_task.h"
#include "servers/unit_context.h"
#include "servers/web_server_unit.h"
#include "service/service_host.h"

namespace rivelo::service {

CommandHandler::CommandHandler(std::wstring root_dir, RunStateRef run_state, WorkerPool pool,
                               launcher::OptionMap options)
    : options_(std::move(options)),
      root_dir_(std::move(root_dir)),
      pool_(std::move(pool)),
      run_state_(std::move(run_state)) {}

void CommandHandler::handle(ServiceHost& host, const ServiceCommand& command) {
    switch (command.kind) {
        case ServiceCommand::Kind::Start:
            start(host);
            return;
        case ServiceCommand::Kind::Stop:
            stop();
            return;
        case ServiceCommand::Kind::Pause:
        case ServiceCommand::Kind::Resume:
        case ServiceCommand::Kind::Extended:
            return;  // the servers keep running; only the reported state changes
    }
}

void CommandHandler::start(ServiceHost& host) {
    // Tasks submitted after a stop would never be told to stop.
    if (stop_handled_) return;
    run_state_->write(host.current_state());

    pool_.submit([context = servers::UnitContext{root_dir_, run_state_}]() mutable {
        servers::run_web_server(std::move(context));
    });
    pool_.submit([context = servers::UnitContext{root_dir_, run_state_}]() mutable {
        servers::run_database(std::move(context));
    });
    if (const auto dtrs = options_.find(launcher::kDtrsKey); dtrs != options_.end()) {
        pool_.submit(servers::DtrsTask(root_dir_, dtrs->second, run_state_));
    }
}

void CommandHandler::stop() {
    // StopPending whatever the host reports: a stop that overtook the start
    // must still reach every task.
    stop_handled_ = true;
    run_state_->write(ServiceState::StopPending);
    pool_.join();
}

}  // namespace rivelo::service
