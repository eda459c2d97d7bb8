// The poisoning rule of the reader-writer lock: a writer that fails leaves a
// value that may be half-changed, so every later access is a fatal failure.
#include <gtest/gtest.h>

#include <future>

#include "platform/failure.h"
#include "service/guarded.h"
#include "support/patience.h"

namespace rivelo::service {
namespace {

struct CallbackFailed {};

void fail_a_write(Guarded<int>& value) {
    const auto failing_writer = [](int& stored) {
        stored = 2;
        throw CallbackFailed{};
    };
    EXPECT_THROW(value.write(failing_writer), CallbackFailed)
        << "the writer's own failure passes out of the failing write";
}

TEST(GuardedPoisoning, AWriterThatThrowsPoisonsEveryLaterReadAndWrite) {
    Guarded<int> value(1);
    fail_a_write(value);

    bool reader_called = false;
    const auto reader = [&](int stored) {
        reader_called = true;
        return stored;
    };
    bool writer_called = false;
    const auto writer = [&](int& stored) {
        writer_called = true;
        stored = 3;
    };
    EXPECT_THROW(value.read(reader), platform::FatalError);
    EXPECT_THROW(value.write(writer), platform::FatalError);
    EXPECT_FALSE(reader_called);
    EXPECT_FALSE(writer_called);
}

TEST(GuardedPoisoning, AReaderThatThrowsLeavesTheLockUsable) {
    Guarded<int> value(1);
    EXPECT_THROW(value.read([](int) -> int { throw CallbackFailed{}; }), CallbackFailed);
    value.write([](int& stored) { stored = 5; });
    EXPECT_EQ(value.read([](int stored) { return stored; }), 5);
}

TEST(GuardedPoisoning, AWaiterFailsOnceAWriterHasPoisonedTheLock) {
    Guarded<int> value(0);
    std::future<void> waiter = std::async(
        std::launch::async, [&value] { value.wait_until([](int stored) { return stored == 1; }); });
    fail_a_write(value);
    if (waiter.wait_for(test::kPatience) != std::future_status::ready) {
        test::give_up("a waiter on a poisoned lock");
    }
    EXPECT_THROW(waiter.get(), platform::FatalError);
}

}  // namespace
}  // namespace rivelo::service
