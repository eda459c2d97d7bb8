// Drives the service host with a fake dispatcher that plays the service
// control manager: it runs the service main function on a thread of its own,
// calls the registered control handler on the dispatcher's thread for each
// request the test sends, and records every status report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "launcher/process_environment.h"
#include "platform/environment.h"
#include "platform/failure.h"
#include "platform/service_control.h"
#include "platform/system_error.h"
#include "service/command_handler.h"
#include "service/run_state.h"
#include "service/service_host.h"
#include "service/worker_pool.h"
#include "support/no_control_pipe.h"
#include "support/patience.h"
#include "support/sample_root.h"
#include "support/scratch_dir.h"
#include "support/service_manager.h"
#include "support/taskkill_probe.h"
#include "support/working_directory_scope.h"

namespace rivelo::service {

// Readable failure messages.
void PrintTo(ServiceState state, std::ostream* out) {
    constexpr const char* kNames[] = {"ContinuePending", "Paused",  "PausePending", "Running",
                                      "StartPending",    "Stopped", "StopPending"};
    *out << kNames[static_cast<int>(state)];
}

void PrintTo(const ServiceCommand& command, std::ostream* out) {
    constexpr const char* kNames[] = {"Start", "Stop", "Pause", "Resume", "Extended"};
    *out << kNames[static_cast<int>(command.kind)];
    if (command.kind == ServiceCommand::Kind::Extended) {
        *out << "(control " << command.control << ", event type " << command.event_type
             << ", event data " << command.event_data << ")";
    }
}

namespace {

using namespace std::chrono_literals;
using platform::ServiceStatus;
using platform::ServiceStatusHandle;
using test::give_up;
using test::kPatience;
using Kind = ServiceCommand::Kind;
using State = ServiceState;

// How long a test gives the host to do something it must not do.
constexpr auto kGrace = 300ms;

// The handle the fake dispatcher hands out at registration.
const ServiceStatusHandle kFakeHandle =
    reinterpret_cast<ServiceStatusHandle>(std::uintptr_t{0x5E5E});

// What SetServiceStatus gives for a null handle.
constexpr std::uint32_t kErrorInvalidHandle = 6;

// The name that the fake dispatcher gives the service main function.
constexpr wchar_t kServiceName[] = L"RiveloFake";

// ERROR_ACCESS_DENIED, for a configuration change the account may not make.
constexpr std::uint32_t kErrorAccessDenied = 5;
// What Windows 10 1703 and later hold for a service not told otherwise.
constexpr std::uint32_t kWindowsPreshutdownTimeoutMs = 10000;

// Orders events across threads: reports, and the entry into and return from
// each handler call.
std::uint64_t stamp() {
    static std::atomic<std::uint64_t> next{0};
    return ++next;
}

template <class Predicate>
void await(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, Predicate done,
           const char* what) {
    if (!changed.wait_for(lock, kPatience, done)) give_up(what);
}

template <class T>
T await(std::future<T>& future, const char* what, std::chrono::milliseconds timeout = kPatience) {
    if (future.wait_for(timeout) != std::future_status::ready) give_up(what);
    return future.get();
}

struct Delivery {
    ServiceCommand command;
    State state_seen;  // the host's current_state when the call began
    std::uint64_t entered = 0;
    std::uint64_t returned = 0;  // 0 while the call lasts
};

// What the recording handler saw. Kept by the test, so it outlives the
// handler that the host owns.
class Journal {
public:
    // The next delivery of this kind waits inside the handler until release().
    void block(Kind kind) {
        std::lock_guard lock(mutex_);
        blocked_ = kind;
        released_ = false;
    }

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    void wait_until_entered(Kind kind) {
        std::unique_lock lock(mutex_);
        await(
            changed_, lock,
            [&] {
                for (const Delivery& delivery : deliveries_) {
                    if (delivery.command.kind == kind) return true;
                }
                return false;
            },
            "a command to reach the handler");
    }

    std::vector<Delivery> deliveries() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }

    bool handler_destroyed() const {
        std::lock_guard lock(mutex_);
        return handler_destroyed_;
    }

    void record(ServiceHost& host, const ServiceCommand& command) {
        const State seen = host.current_state();
        std::unique_lock lock(mutex_);
        deliveries_.push_back({command, seen, stamp(), 0});
        const std::size_t index = deliveries_.size() - 1;
        changed_.notify_all();
        if (blocked_ == command.kind) {
            blocked_.reset();
            await(changed_, lock, [&] { return released_; }, "the test to release a command");
        }
        deliveries_[index].returned = stamp();
        changed_.notify_all();
    }

    void record_destroyed() {
        std::lock_guard lock(mutex_);
        handler_destroyed_ = true;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
    std::optional<Kind> blocked_;
    bool released_ = false;
    bool handler_destroyed_ = false;
};

class RecordingHandler final : public ServiceHandler {
public:
    explicit RecordingHandler(Journal& journal) : journal_(journal) {}
    ~RecordingHandler() override { journal_.record_destroyed(); }
    RecordingHandler(const RecordingHandler&) = delete;
    RecordingHandler& operator=(const RecordingHandler&) = delete;

    void handle(ServiceHost& host, const ServiceCommand& command) override {
        journal_.record(host, command);
    }

private:
    Journal& journal_;
};

struct Report {
    std::uint64_t sequence = 0;
    ServiceStatusHandle handle = nullptr;
    ServiceStatus status;
};

// A read or a change of the preshutdown time-out, as the fake manager saw it.
struct PreshutdownAccess {
    std::uint64_t sequence = 0;
    bool change = false;
    std::wstring service_name;
    std::uint32_t timeout_ms = 0;  // the value read or written
};

// Plays the service control manager's dispatcher.
class FakeDispatcher final : public platform::ServiceControl {
public:
    FakeDispatcher() = default;
    FakeDispatcher(const FakeDispatcher&) = delete;
    FakeDispatcher& operator=(const FakeDispatcher&) = delete;
    ~FakeDispatcher() override {
        if (service_thread_.joinable()) service_thread_.join();
    }

    // Set up before run.
    void play_started_by_hand() { started_by_manager_ = false; }
    void hand_out_handle(ServiceStatusHandle handle) { handle_ = handle; }
    // Calls the control handler with this control from inside the
    // registration, before the service main function has reported anything.
    void control_during_registration(std::uint32_t control) { early_control_ = control; }
    // The preshutdown time-out the manager holds before the start.
    void hold_preshutdown_timeout(std::uint32_t timeout_ms) { preshutdown_timeout_ = timeout_ms; }
    // Refuses every configuration read or change, as for an account without
    // the right.
    void refuse_configuration_reads() { refuse_reads_ = true; }
    void refuse_configuration_changes() { refuse_changes_ = true; }

    // Queues a control request, handled on the dispatcher's thread once the
    // control handler is registered; the future gives the handler's answer.
    std::future<unsigned long> send_control(std::uint32_t control, std::uint32_t event_type = 0,
                                            void* event_data = nullptr) {
        std::lock_guard lock(mutex_);
        requests_.push_back({control, event_type, event_data, {}});
        changed_.notify_all();
        return requests_.back().answer.get_future();
    }

    // The dispatcher returns once the queued requests are handled.
    void finish() {
        std::lock_guard lock(mutex_);
        finishing_ = true;
        changed_.notify_all();
    }

    void wait_for_report(State state) {
        std::unique_lock lock(mutex_);
        await(
            changed_, lock,
            [&] {
                for (const Report& report : reports_) {
                    if (report.status.current_state == win32_state_code(state)) return true;
                }
                return false;
            },
            "a report");
    }

    std::vector<Report> reports() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }

    std::vector<PreshutdownAccess> preshutdown_accesses() const {
        std::lock_guard lock(mutex_);
        return preshutdown_accesses_;
    }

    int dispatcher_calls() const {
        std::lock_guard lock(mutex_);
        return dispatcher_calls_;
    }

    bool start_dispatcher(platform::ServiceMain service_main) override {
        std::unique_lock lock(mutex_);
        ++dispatcher_calls_;
        if (!started_by_manager_) return false;
        service_thread_ = std::thread([service_main] {
            std::wstring name = kServiceName;
            wchar_t* arguments[] = {name.data(), nullptr};
            service_main(1, arguments);
        });
        serve_controls(lock);
        return true;
    }

    ServiceStatusHandle register_handler(platform::ControlHandler handler, void* context) override {
        std::unique_lock lock(mutex_);
        handler_ = handler;
        context_ = context;
        changed_.notify_all();
        if (early_control_) {
            lock.unlock();
            handler(*early_control_, 0, nullptr, context);
            lock.lock();
        }
        return handle_;
    }

    std::error_code set_status(ServiceStatusHandle handle, const ServiceStatus& status) override {
        std::lock_guard lock(mutex_);
        reports_.push_back({stamp(), handle, status});
        changed_.notify_all();
        if (handle == nullptr) return platform::win32_error(kErrorInvalidHandle);
        return {};
    }

    platform::Result<std::uint32_t> preshutdown_timeout(const wchar_t* service_name) override {
        std::lock_guard lock(mutex_);
        preshutdown_accesses_.push_back({stamp(), false, service_name, preshutdown_timeout_});
        changed_.notify_all();
        if (refuse_reads_) return platform::win32_error(kErrorAccessDenied);
        return preshutdown_timeout_;
    }

    std::error_code set_preshutdown_timeout(const wchar_t* service_name,
                                            std::uint32_t timeout_ms) override {
        std::lock_guard lock(mutex_);
        preshutdown_accesses_.push_back({stamp(), true, service_name, timeout_ms});
        changed_.notify_all();
        if (refuse_changes_) return platform::win32_error(kErrorAccessDenied);
        preshutdown_timeout_ = timeout_ms;
        return {};
    }

    void wait_for_preshutdown_read() {
        std::unique_lock lock(mutex_);
        await(
            changed_, lock, [&] { return !preshutdown_accesses_.empty(); },
            "a preshutdown time-out read");
    }

private:
    struct Request {
        std::uint32_t control;
        std::uint32_t event_type;
        void* event_data;
        std::promise<unsigned long> answer;
    };

    // One request at a time, on the calling thread, as the real dispatcher
    // does. Ends when the test has said so; the scene always does.
    void serve_controls(std::unique_lock<std::mutex>& lock) {
        for (;;) {
            changed_.wait(lock, [&] { return finishing_ || (!requests_.empty() && handler_); });
            if (requests_.empty() || !handler_) return;
            Request request = std::move(requests_.front());
            requests_.pop_front();
            const platform::ControlHandler handler = handler_;
            void* const context = context_;
            lock.unlock();
            request.answer.set_value(
                handler(request.control, request.event_type, request.event_data, context));
            lock.lock();
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool started_by_manager_ = true;
    ServiceStatusHandle handle_ = kFakeHandle;
    int dispatcher_calls_ = 0;
    std::thread service_thread_;
    platform::ControlHandler handler_ = nullptr;
    void* context_ = nullptr;
    std::deque<Request> requests_;
    bool finishing_ = false;
    std::vector<Report> reports_;
    std::optional<std::uint32_t> early_control_;
    std::uint32_t preshutdown_timeout_ = kWindowsPreshutdownTimeoutMs;
    bool refuse_reads_ = false;
    bool refuse_changes_ = false;
    std::vector<PreshutdownAccess> preshutdown_accesses_;
};

// One host with its fake dispatcher and recording handler. `run` goes on a
// thread of its own, which plays the service's main thread.
class HostScene {
public:
    HostScene() = default;
    HostScene(const HostScene&) = delete;
    HostScene& operator=(const HostScene&) = delete;
    ~HostScene() {
        // Lets everything that may still wait go on, so that run can return.
        fake.finish();
        journal.release();
        if (run_.valid()) await(run_, "run to return");
    }

    // Runs the host with the recording handler, or with the one given.
    void start(std::unique_ptr<ServiceHandler> handler = nullptr) {
        if (!handler) handler = std::make_unique<RecordingHandler>(journal);
        run_ = std::async(std::launch::async, [this, handler = std::move(handler)]() mutable {
            std::optional<std::wstring> result = host.run(std::move(handler));
            reports_when_run_returned_ = fake.reports();
            return result;
        });
    }

    bool run_returns_within(std::chrono::milliseconds time) {
        return run_.wait_for(time) == std::future_status::ready;
    }

    // Lets the dispatcher return and gives run's result.
    std::optional<std::wstring> end_run() {
        fake.finish();
        return await(run_, "run to return");
    }

    // Sends a control request and gives the answer once the handler returned.
    unsigned long control(std::uint32_t code, std::uint32_t event_type = 0,
                          void* event_data = nullptr) {
        std::future<unsigned long> answer = fake.send_control(code, event_type, event_data);
        return await(answer, "a control request to be answered");
    }

    // Valid once end_run has returned.
    const std::vector<Report>& reports_when_run_returned() const {
        return reports_when_run_returned_;
    }

    Journal journal;
    FakeDispatcher fake;
    ServiceHost host{fake};

private:
    std::vector<Report> reports_when_run_returned_;
    std::future<std::optional<std::wstring>> run_;
};

std::vector<State> states_of(const std::vector<Report>& reports, std::size_t from = 0) {
    std::vector<State> states;
    for (std::size_t i = from; i < reports.size(); ++i) {
        states.push_back(service_state_from_code(reports[i].status.current_state));
    }
    return states;
}

std::vector<ServiceCommand> commands_of(const std::vector<Delivery>& deliveries,
                                        std::size_t from = 0) {
    std::vector<ServiceCommand> commands;
    for (std::size_t i = from; i < deliveries.size(); ++i) {
        commands.push_back(deliveries[i].command);
    }
    return commands;
}

ServiceCommand command(Kind kind) { return {.kind = kind}; }

// Every request in the control table carries this event type and data, so
// that Extended shows them passed through.
constexpr std::uint32_t kEventType = 0x2A;
int event_marker = 0;

ServiceCommand extended(std::uint32_t control) {
    return {.kind = Kind::Extended,
            .control = control,
            .event_type = kEventType,
            .event_data = &event_marker};
}

constexpr std::uint32_t kStop = 1;
constexpr std::uint32_t kPause = 2;
constexpr std::uint32_t kContinue = 3;
constexpr std::uint32_t kInterrogate = 4;
constexpr std::uint32_t kShutdown = 5;
constexpr std::uint32_t kPreshutdown = 0x0F;
constexpr std::uint32_t kUserControl = 128;

// The controls that stop the service, each taking the same path.
struct StopControl {
    const char* name;
    std::uint32_t code;
};
constexpr StopControl kStopControls[] = {
    {"stop", kStop}, {"shutdown", kShutdown}, {"preshutdown", kPreshutdown}};

// Brings a running host to the state a control-table case starts from.
void bring_to(HostScene& scene, State state) {
    switch (state) {
        case State::Running:
            scene.start();
            scene.fake.wait_for_report(State::Running);
            return;
        case State::Paused:
            scene.start();
            scene.fake.wait_for_report(State::Running);
            ASSERT_EQ(scene.control(kPause), 0u);
            return;
        default:
            FAIL() << "no way to start a case from this state";
    }
}

struct ControlCase {
    const char* name;
    State from;
    std::uint32_t control;
    std::vector<State> reports;  // reported while the request is handled, in order
    ServiceCommand delivered;
};

TEST(ControlTable, EachRequestGivesItsReportsAndItsCommandAndAnswersZero) {
    const std::vector<State> stopping = {State::StopPending, State::Stopped};
    const std::vector<State> none;
    const ControlCase cases[] = {
        {"stop while running", State::Running, kStop, stopping, command(Kind::Stop)},
        {"shutdown while running", State::Running, kShutdown, stopping, command(Kind::Stop)},
        {"preshutdown while running", State::Running, kPreshutdown, stopping, command(Kind::Stop)},
        {"stop while paused, no resume first", State::Paused, kStop, stopping, command(Kind::Stop)},
        {"shutdown while paused", State::Paused, kShutdown, stopping, command(Kind::Stop)},
        {"preshutdown while paused", State::Paused, kPreshutdown, stopping, command(Kind::Stop)},
        {"pause while running",
         State::Running,
         kPause,
         {State::PausePending, State::Paused},
         command(Kind::Pause)},
        {"pause while paused", State::Paused, kPause, none, extended(kPause)},
        {"continue while paused",
         State::Paused,
         kContinue,
         {State::ContinuePending, State::Running},
         command(Kind::Resume)},
        {"continue while running", State::Running, kContinue, none, extended(kContinue)},
        {"interrogate", State::Running, kInterrogate, none, extended(kInterrogate)},
        {"user-defined code", State::Running, kUserControl, none, extended(kUserControl)},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        HostScene scene;
        bring_to(scene, c.from);
        if (testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(scene.host.current_state(), c.from);
        const std::size_t reports_before = scene.fake.reports().size();
        const std::size_t deliveries_before = scene.journal.deliveries().size();

        EXPECT_EQ(scene.control(c.control, kEventType, &event_marker), 0u);

        EXPECT_EQ(states_of(scene.fake.reports(), reports_before), c.reports);
        EXPECT_EQ(commands_of(scene.journal.deliveries(), deliveries_before),
                  std::vector<ServiceCommand>{c.delivered});
    }
}

TEST(ServiceLife, EveryReportCarriesTheFixedRecordAndEachCommandLiesBetweenItsReports) {
    HostScene scene;
    scene.start();
    scene.fake.wait_for_report(State::Running);
    EXPECT_EQ(scene.control(kPause), 0u);
    EXPECT_EQ(scene.control(kContinue), 0u);
    EXPECT_EQ(scene.control(kInterrogate), 0u);
    EXPECT_EQ(scene.control(kStop), 0u);
    EXPECT_EQ(scene.end_run(), std::nullopt);

    const std::vector<Report> reports = scene.fake.reports();
    ASSERT_EQ(states_of(reports),
              (std::vector<State>{State::StartPending, State::Running, State::PausePending,
                                  State::Paused, State::ContinuePending, State::Running,
                                  State::StopPending, State::Stopped}));
    for (const Report& report : reports) {
        EXPECT_EQ(report.handle, kFakeHandle);
        EXPECT_EQ(report.status.service_type, 0x10u);
        EXPECT_EQ(report.status.controls_accepted, 0x107u) << "stop, pause, shutdown, preshutdown";
        EXPECT_EQ(report.status.win32_exit_code, 0u);
        EXPECT_EQ(report.status.service_specific_exit_code, 0u);
        EXPECT_EQ(report.status.check_point, 0u);
        EXPECT_EQ(report.status.wait_hint, 0u);
    }

    const std::vector<Delivery> deliveries = scene.journal.deliveries();
    ASSERT_EQ(commands_of(deliveries),
              (std::vector<ServiceCommand>{command(Kind::Start),
                                           command(Kind::Pause),
                                           command(Kind::Resume),
                                           {.kind = Kind::Extended, .control = kInterrogate},
                                           command(Kind::Stop)}));
    std::vector<State> seen;
    for (const Delivery& delivery : deliveries) seen.push_back(delivery.state_seen);
    EXPECT_EQ(seen,
              (std::vector<State>{State::StartPending, State::PausePending, State::ContinuePending,
                                  State::Running, State::StopPending}));

    struct Transition {
        std::size_t pending_report, delivery, final_report;
    };
    for (const Transition& t : {Transition{0, 0, 1}, {2, 1, 3}, {4, 2, 5}, {6, 4, 7}}) {
        EXPECT_LT(reports[t.pending_report].sequence, deliveries[t.delivery].entered);
        EXPECT_LT(deliveries[t.delivery].returned, reports[t.final_report].sequence);
    }
    EXPECT_EQ(scene.host.current_state(), State::Stopped);
    EXPECT_EQ(scene.host.status_handle(), kFakeHandle);
}

TEST(ServiceLife, ANullStatusHandleStillDeliversEveryCommandAndEachReportCarriesIt) {
    HostScene scene;
    scene.fake.hand_out_handle(nullptr);
    scene.start();
    scene.fake.wait_for_report(State::Running);
    EXPECT_EQ(scene.control(kStop), 0u);
    EXPECT_EQ(scene.end_run(), std::nullopt);

    EXPECT_EQ(commands_of(scene.journal.deliveries()),
              (std::vector<ServiceCommand>{command(Kind::Start), command(Kind::Stop)}));
    const std::vector<Report> reports = scene.fake.reports();
    EXPECT_EQ(states_of(reports), (std::vector<State>{State::StartPending, State::Running,
                                                      State::StopPending, State::Stopped}));
    for (const Report& report : reports) EXPECT_EQ(report.handle, nullptr);
    EXPECT_EQ(scene.host.status_handle(), nullptr);
    EXPECT_EQ(scene.host.current_state(), State::Stopped);
}

// Windows gives a service 10 s of preshutdown by default. Once it runs, the
// service reads the manager's value under the name it was started with and
// raises a lower one to 3 minutes; it never shortens one. An account that may
// not read or change the configuration changes nothing else.
TEST(PreshutdownTimeOut, ALowerOneIsRaisedOnceRunningAndNoneIsShortened) {
    const struct {
        const char* name;
        std::uint32_t held_ms;
        bool refuse_read;
        bool refuse_change;
        std::optional<std::uint32_t> written_ms;
    } cases[] = {
        {"Windows' default", kWindowsPreshutdownTimeoutMs, false, false, 180000},
        {"just below", 179999, false, false, 180000},
        {"3 minutes already", 180000, false, false, std::nullopt},
        {"10 minutes set by an administrator", 600000, false, false, std::nullopt},
        {"read refused", 5000, true, false, std::nullopt},
        {"change refused", 5000, false, true, 180000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostScene scene;
        scene.fake.hold_preshutdown_timeout(c.held_ms);
        if (c.refuse_read) scene.fake.refuse_configuration_reads();
        if (c.refuse_change) scene.fake.refuse_configuration_changes();
        scene.start();
        scene.fake.wait_for_preshutdown_read();
        EXPECT_EQ(scene.control(kStop), 0u);
        EXPECT_EQ(scene.end_run(), std::nullopt);

        const std::vector<PreshutdownAccess> accesses = scene.fake.preshutdown_accesses();
        ASSERT_EQ(accesses.size(), c.written_ms ? 2u : 1u);
        EXPECT_FALSE(accesses[0].change);
        for (const PreshutdownAccess& access : accesses) {
            EXPECT_EQ(access.service_name, kServiceName);
        }
        if (c.written_ms) {
            EXPECT_TRUE(accesses[1].change);
            EXPECT_EQ(accesses[1].timeout_ms, *c.written_ms);
        }
        const std::vector<Report> reports = scene.fake.reports();
        ASSERT_EQ(states_of(reports), (std::vector<State>{State::StartPending, State::Running,
                                                          State::StopPending, State::Stopped}));
        EXPECT_LT(reports[1].sequence, accesses[0].sequence) << "after Running";
        EXPECT_EQ(commands_of(scene.journal.deliveries()),
                  (std::vector<ServiceCommand>{command(Kind::Start), command(Kind::Stop)}));
    }
}

TEST(StopDuringStart, StopPendingAtOnceStopOnlyAfterStartAndNeverRunningAgain) {
    for (const StopControl& stop : kStopControls) {
        SCOPED_TRACE(stop.name);
        HostScene scene;
        scene.journal.block(Kind::Start);
        scene.start();
        scene.journal.wait_until_entered(Kind::Start);

        std::future<unsigned long> answer = scene.fake.send_control(stop.code);
        scene.fake.wait_for_report(State::StopPending);
        EXPECT_EQ(commands_of(scene.journal.deliveries()),
                  std::vector<ServiceCommand>{command(Kind::Start)});
        scene.journal.release();
        EXPECT_EQ(await(answer, "the stop to be answered"), 0u);
        EXPECT_EQ(scene.end_run(), std::nullopt);

        const std::vector<Report> reports = scene.fake.reports();
        EXPECT_EQ(states_of(reports),
                  (std::vector<State>{State::StartPending, State::StopPending, State::Stopped}));
        const std::vector<Delivery> deliveries = scene.journal.deliveries();
        ASSERT_EQ(commands_of(deliveries),
                  (std::vector<ServiceCommand>{command(Kind::Start), command(Kind::Stop)}));
        EXPECT_LT(reports[1].sequence, deliveries[0].returned) << "StopPending while Start lasts";
        EXPECT_LT(deliveries[0].returned, deliveries[1].entered) << "Stop after Start returned";
        EXPECT_EQ(deliveries[1].state_seen, State::StopPending);
        EXPECT_EQ(scene.host.current_state(), State::Stopped);
    }
}

TEST(StopDuringStart, AStopBeforeTheFirstReportIsNeverUndoneByTheStart) {
    for (const StopControl& stop : kStopControls) {
        SCOPED_TRACE(stop.name);
        HostScene scene;
        scene.fake.control_during_registration(stop.code);
        scene.start();
        // Start is delivered after the stop; run then waits for the service
        // main function to end.
        scene.journal.wait_until_entered(Kind::Start);
        EXPECT_EQ(scene.end_run(), std::nullopt);

        EXPECT_EQ(states_of(scene.fake.reports()),
                  (std::vector<State>{State::StopPending, State::Stopped}))
            << "neither StartPending nor Running after the stop";
        // The start still reaches the handler, whose own guard ignores it.
        EXPECT_EQ(commands_of(scene.journal.deliveries()),
                  (std::vector<ServiceCommand>{command(Kind::Stop), command(Kind::Start)}));
        EXPECT_EQ(scene.host.current_state(), State::Stopped);
    }
}

TEST(RunEnd, RunWaitsForAServiceMainFunctionThatIsStillAtWork) {
    HostScene scene;
    scene.journal.block(Kind::Start);
    scene.start();
    scene.journal.wait_until_entered(Kind::Start);

    // The dispatcher returns while Start is still being delivered.
    scene.fake.finish();
    EXPECT_FALSE(scene.run_returns_within(kGrace));
    scene.journal.release();
    EXPECT_EQ(scene.end_run(), std::nullopt);
    EXPECT_EQ(states_of(scene.reports_when_run_returned()),
              (std::vector<State>{State::StartPending, State::Running}))
        << "run returned before the service main function had finished";
}

TEST(RunOutsideTheServiceManager, FailsWithTheTextReportsNothingAndKeepsTheHandler) {
    Journal journal;
    FakeDispatcher fake;
    fake.play_started_by_hand();
    {
        ServiceHost host(fake);
        EXPECT_EQ(host.run(std::make_unique<RecordingHandler>(journal)),
                  std::wstring(L"Use service control manager to start service"));
        EXPECT_TRUE(fake.reports().empty());
        EXPECT_TRUE(journal.deliveries().empty());
        EXPECT_FALSE(journal.handler_destroyed()) << "the host owns the handler until it goes";
    }
    EXPECT_TRUE(journal.handler_destroyed());
}

TEST(RunOutsideTheServiceManager, TheRealDispatcherRefusesAndRunFailsWithTheText) {
    Journal journal;
    const auto failure = test::run_with_no_control_pipe([&] {
        ServiceHost host;
        return host.run(std::make_unique<RecordingHandler>(journal));
    });
    EXPECT_EQ(failure, std::wstring(L"Use service control manager to start service"));
    EXPECT_TRUE(journal.deliveries().empty());
}

TEST(RunTwice, TheSecondRunIsAFatalFailureThatKeepsTheFirstHandler) {
    Journal first;
    Journal second;
    FakeDispatcher fake;
    fake.play_started_by_hand();
    ServiceHost host(fake);
    ASSERT_TRUE(host.run(std::make_unique<RecordingHandler>(first)).has_value());

    try {
        (void)host.run(std::make_unique<RecordingHandler>(second));
        ADD_FAILURE() << "the second run returned";
    } catch (const platform::FatalError& failure) {
        EXPECT_EQ(failure.message(), L"`run` was already called");
    }
    EXPECT_EQ(fake.dispatcher_calls(), 1);
    EXPECT_TRUE(second.handler_destroyed());
    host.deliver(command(Kind::Pause));
    EXPECT_EQ(commands_of(first.deliveries()), std::vector<ServiceCommand>{command(Kind::Pause)});
}

TEST(NewHost, ReadsStoppedWithNoHandleAndHasNoHandlerToDeliverTo) {
    FakeDispatcher fake;
    ServiceHost host(fake);
    EXPECT_EQ(host.current_state(), State::Stopped);
    EXPECT_EQ(host.status_handle(), nullptr);
    EXPECT_THROW(host.deliver(command(Kind::Start)), platform::FatalError);
}

TEST(StateCodes, EachStateIsReportedWithItsCodeAndReadBack) {
    struct Case {
        State state;
        std::uint32_t code;
    };
    const Case cases[] = {
        {State::ContinuePending, 5}, {State::Paused, 7},       {State::PausePending, 6},
        {State::Running, 4},         {State::StartPending, 2}, {State::Stopped, 1},
        {State::StopPending, 3},
    };
    FakeDispatcher fake;
    ServiceHost host(fake);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        host.report_state(c.state);
        const std::vector<Report> reports = fake.reports();
        ASSERT_FALSE(reports.empty());
        const Report& report = reports.back();
        EXPECT_EQ(report.status.current_state, c.code);
        EXPECT_EQ(report.handle, nullptr);
        // The record as created: run has not copied the accepted controls in.
        EXPECT_EQ(report.status.service_type, 0x10u);
        EXPECT_EQ(report.status.controls_accepted, 0u);
        EXPECT_EQ(report.status.win32_exit_code, 0u);
        EXPECT_EQ(report.status.service_specific_exit_code, 0u);
        EXPECT_EQ(report.status.check_point, 0u);
        EXPECT_EQ(report.status.wait_hint, 0u);
        EXPECT_EQ(host.current_state(), c.state);
        EXPECT_EQ(service_state_from_code(c.code), c.state);
    }
}

TEST(StateCodes, ACodeOutsideOneToSevenIsAnUnexpectedState) {
    for (const std::uint32_t code : {0u, 8u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        try {
            (void)service_state_from_code(code);
            ADD_FAILURE() << "the code was mapped";
        } catch (const platform::FatalError& failure) {
            EXPECT_EQ(failure.message(), L"unexpected state");
        }
    }
}

}  // namespace
}  // namespace rivelo::service

namespace rivelo::service {
namespace {

// The system's own handler behind the host, with the stand-in servers: the
// shutdown control (which Wine's service manager never sends) drives every
// server down exactly as a stop does.
// Real servers start and stop through Wine's process creation, cmd.exe and
// taskkill, which take seconds on a loaded machine.
constexpr std::chrono::seconds kRealServerBound{60};

TEST(Shutdown, DrivesTheServersDownAsAStopDoes) {
    (void)test::taskkill_ends_every_process_of_a_name();
    test::SampleRoot root;
    const std::optional<std::wstring> saved_path = platform::get_environment_variable(L"PATH");
    const test::WorkingDirectoryScope in_root(root.path());
    launcher::prepare_environment(root.path());  // the servers start in the root

    WorkerPool pool = WorkerPool::create();
    pool.set_thread_range(2, 3);
    HostScene scene;
    scene.start(std::make_unique<CommandHandler>(root.path(), RunState::create(State::Stopped),
                                                 std::move(pool), launcher::OptionMap{}));
    scene.fake.wait_for_report(State::Running);
    // The web server's parent and worker, its PHP processes, the database.
    const auto httpd = root.wait_for_records(root.httpd(), 2, kRealServerBound);
    const auto php = root.wait_for_records(root.php_cgi(), 2, kRealServerBound);
    const auto mysqld = root.wait_for_records(root.mysqld(), 1, kRealServerBound);
    ASSERT_EQ(httpd.size(), 2u);
    ASSERT_EQ(php.size() + mysqld.size(), 3u);
    std::vector<platform::UniqueHandle> servers, web_children;
    servers.push_back(test::open_process(httpd[0].pid));
    servers.push_back(test::open_process(mysqld[0].pid));
    web_children.push_back(test::open_process(httpd[1].pid));
    for (const auto& record : php) web_children.push_back(test::open_process(record.pid));

    // The whole stop runs inside the control.
    std::future<unsigned long> answer = scene.fake.send_control(kShutdown);
    EXPECT_EQ(await(answer, "the shutdown control to be answered", kRealServerBound), 0u);
    EXPECT_EQ(states_of(scene.fake.reports()).back(), State::Stopped);
    for (const auto& server : servers) {
        EXPECT_TRUE(test::wait_for_process(server.get(), 0ms).has_value()) << "a server still runs";
    }
    test::check_web_processes_ended([&] {
        for (const auto& process : web_children) {
            EXPECT_TRUE(test::wait_for_process(process.get(), 0ms).has_value())
                << "the worker or a PHP process still runs";
        }
    });
    EXPECT_EQ(test::wait_for_process(servers.back().get(), 0ms), std::optional<std::uint32_t>(0))
        << "the database shut down by itself";
    EXPECT_FALSE(test::file_exists(root.pid_file()));
    EXPECT_EQ(scene.end_run(), std::nullopt);

    platform::set_environment_variable(L"PATH", saved_path.value_or(L""));
}

// A Start that reaches the handler after a Stop (a stop that overtook the
// start) must not start anything: no task would ever be told to stop.
TEST(CommandHandlerGuard, AStartAfterAStopSubmitsNoTask) {
    test::ScratchDir root;  // no server programs: a task that slipped through ends at once
    const RunStateRef run_state = RunState::create(State::Stopped);
    WorkerPool pool = WorkerPool::create();
    pool.set_thread_range(2, 3);
    // With "dtrs" a submitted task would keep its run-state reference until a stop.
    CommandHandler handler(root.path(), run_state, std::move(pool),
                           launcher::OptionMap{{std::wstring(launcher::kDtrsKey), L"7"}});
    FakeDispatcher fake;
    ServiceHost host(fake);

    handler.handle(host, command(Kind::Stop));
    handler.handle(host, command(Kind::Start));

    EXPECT_EQ(run_state->read(), State::StopPending) << "the start overwrote the stop";
    EXPECT_EQ(run_state.use_count(), 2) << "a task holds the run state: test and handler only";
    run_state->write(State::StopPending);  // lets anything that slipped through end
}

}  // namespace
}  // namespace rivelo::service
