// IoThread: a handler's error is reported and the loop goes on; stop joins, also when
// asked from a handler; finish lets pending work run out.

#include "platform/io_thread.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvex::platform::IoThread;
using namespace std::chrono_literals;

constexpr auto kWait = 5s;

// Collects the reports of one loop.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> texts;
    IoThread::ErrorReport sink() {
        return [this](const std::string& what) {
            std::lock_guard<std::mutex> guard(mutex);
            texts.push_back(what);
        };
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> guard(mutex);
        return texts;
    }
};

// Posts fn and waits (bounded) until it ran on the loop thread.
bool runOn(IoThread& loop, std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    auto ran = done->get_future();
    boost::asio::post(loop.context(), [fn = std::move(fn), done] {
        fn();
        done->set_value();
    });
    return ran.wait_for(kWait) == std::future_status::ready;
}

TEST(IoThread, HandlerErrorsAreReportedAndTheLoopCarriesOn) {
    Reports reports;
    IoThread loop(reports.sink());
    ASSERT_TRUE(loop.start());
    EXPECT_FALSE(loop.start()) << "already running";
    boost::asio::post(loop.context(), [] { throw std::runtime_error("broken handler"); });
    boost::asio::post(loop.context(), [] { throw 42; });
    bool onLoop = false;
    ASSERT_TRUE(runOn(loop, [&] { onLoop = loop.inLoopThread(); })) << "a later handler still runs";
    EXPECT_TRUE(onLoop);
    EXPECT_FALSE(loop.inLoopThread());
    EXPECT_EQ(reports.all(), (std::vector<std::string>{"broken handler", "unknown exception"}));
}

TEST(IoThread, StopJoinsIsIdempotentAndAllowsAStartAgain) {
    IoThread loop(nullptr);
    ASSERT_TRUE(loop.start());
    std::promise<void> entered;
    bool finished = false;
    boost::asio::post(loop.context(), [&] {
        entered.set_value();
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    ASSERT_EQ(entered.get_future().wait_for(kWait), std::future_status::ready);
    loop.stop();
    EXPECT_TRUE(finished) << "stop waits for the handler that runs";
    EXPECT_FALSE(loop.running());
    loop.stop();

    ASSERT_TRUE(loop.start());
    EXPECT_TRUE(runOn(loop, [] {}));
    loop.stop();
    EXPECT_FALSE(loop.running());
}

TEST(IoThread, StopFromAHandlerDoesNotWaitForItself) {
    auto loop = std::make_unique<IoThread>(nullptr);
    ASSERT_TRUE(loop->start());
    boost::asio::post(loop->context(), [&loop] { loop->stop(); });
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (loop->running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(loop->running());
    loop.reset();  // joins the ended thread
}

TEST(IoThread, FinishLetsPendingWorkRunOut) {
    IoThread loop(nullptr);
    ASSERT_TRUE(loop.start());
    boost::asio::steady_timer timer(loop.context(), 30ms);
    bool fired = false;
    timer.async_wait([&](const boost::system::error_code& ec) { fired = !ec; });
    loop.finish();
    EXPECT_TRUE(fired);
    EXPECT_FALSE(loop.running());
}

}  // namespace
