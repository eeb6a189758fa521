#include "adaptor_json/unit_link.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "adaptor_json/frame_reader.h"
#include "platform/io_thread.h"
#include "platform/line_sink.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using boost::system::system_error;

namespace halvex::adaptor_json {

namespace {

// The end of one connect or write, as its caller waits for it. Guarded by the link's lock.
struct Operation {
    bool done = false;
    bool abandoned = false;  // the caller stopped waiting (time limit)
    error_code result;
};

// One connection: its socket and its queue of frames. Touched by the I/O thread only;
// handlers hold it, so a replaced connection lives until its last handler ran.
struct Connection {
    Connection(asio::io_context& io, std::uint64_t id) : socket(io), generation(id) {}
    tcp::socket socket;
    const std::uint64_t generation;
    std::deque<std::pair<std::shared_ptr<Operation>, std::shared_ptr<const std::string>>> writes;
    bool writing = false;
    std::array<char, 4096> chunk{};
};

}  // namespace

struct UnitLink::Impl {
    explicit Impl(LinkLimits l)
        : limits(l), ioThread([](const std::string& what) { platform::printErr("HX>ERROR>unit link: " + what); }) {}

    const LinkLimits limits;
    platform::IoThread ioThread;
    asio::io_context& io = ioThread.context();
    std::shared_ptr<Connection> current;  // I/O thread only

    // Guards everything below; held only for bookkeeping, never across a socket call.
    mutable std::mutex lock;
    std::condition_variable changed;
    std::uint64_t generations = 0;  // connections made so far
    std::uint64_t generation = 0;   // the current connection; 0 before the first
    bool closing = false;
    FrameReader reader;                // of the current connection
    std::string inbox;                 // bytes read, not yet fed to the reader
    std::uint64_t readingGeneration = 0;  // a read is outstanding on this connection
    error_code readError;                 // the last read failure, delivered once
    std::atomic<bool> up{false};

    void finish(const std::shared_ptr<Operation>& op, const error_code& result) {
        {
            std::lock_guard<std::mutex> guard(lock);
            op->done = true;
            op->result = result;
        }
        changed.notify_all();
    }

    // --- I/O thread ---

    void closeConnection(const std::shared_ptr<Connection>& c) {
        error_code ignored;
        c->socket.shutdown(tcp::socket::shutdown_both, ignored);
        c->socket.close(ignored);
    }

    void startConnect(const std::shared_ptr<Operation>& op, std::uint64_t id, const tcp::endpoint& endpoint) {
        // The old socket is closed before the new attempt: a unit may take one client at a time.
        if (current) {
            closeConnection(current);
        }
        auto c = std::make_shared<Connection>(io, id);
        current = c;
        error_code code;
        c->socket.open(endpoint.protocol(), code);
        if (code) {
            finish(op, code);
            return;
        }
        c->socket.async_connect(endpoint, [this, op, c](const error_code& result) {
            if (!result) {
                // A streaming pass writes two small frames back to back: without this the
                // second one can wait for the unit's delayed acknowledgement of the first.
                error_code ignored;
                c->socket.set_option(tcp::no_delay(true), ignored);
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                op->done = true;
                op->result = result;
                if (!result && !op->abandoned && c->generation == generation && !closing) {
                    up = true;
                }
            }
            changed.notify_all();
        });
    }

    void startWrite(const std::shared_ptr<Operation>& op, const std::shared_ptr<const std::string>& bytes) {
        if (!current) {
            finish(op, asio::error::not_connected);
            return;
        }
        current->writes.emplace_back(op, bytes);
        if (!current->writing) {
            writeNext(current);
        }
    }

    void writeNext(const std::shared_ptr<Connection>& c) {
        if (c->writes.empty()) {
            return;
        }
        c->writing = true;
        const auto bytes = c->writes.front().second;
        asio::async_write(c->socket, asio::buffer(*bytes), [this, c, bytes](const error_code& result, std::size_t) {
            const auto op = c->writes.front().first;
            c->writes.pop_front();
            c->writing = false;
            {
                std::lock_guard<std::mutex> guard(lock);
                op->done = true;
                op->result = result;
                if (result && c->generation == generation) {
                    up = false;
                }
            }
            changed.notify_all();
            writeNext(c);
        });
    }

    void startRead(std::uint64_t id) {
        const auto c = current;
        if (!c || c->generation != id) {
            std::lock_guard<std::mutex> guard(lock);
            if (readingGeneration == id) {
                readingGeneration = 0;
                readError = asio::error::not_connected;
            }
            changed.notify_all();
            return;
        }
        c->socket.async_read_some(asio::buffer(c->chunk), [this, c](const error_code& result, std::size_t size) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (c->generation == generation) {
                    if (result) {
                        readError = result;
                    } else {
                        inbox.append(c->chunk.data(), size);
                    }
                }
                if (readingGeneration == c->generation) {
                    readingGeneration = 0;
                }
            }
            changed.notify_all();
        });
    }

    void abandon(std::uint64_t id) {
        if (current && current->generation == id) {
            closeConnection(current);
        }
    }
};

UnitLink::UnitLink(LinkLimits limits) : impl_(std::make_unique<Impl>(limits)) {
    if (!impl_->ioThread.start()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "unit link: cannot start its I/O thread");
    }
}

UnitLink::~UnitLink() {
    shutdown();
    // With the socket closed every outstanding operation ends, and the loop runs out.
    impl_->ioThread.finish();
}

const LinkLimits& UnitLink::limits() const { return impl_->limits; }

bool UnitLink::isUp() const { return impl_->up; }

void UnitLink::markDown() { impl_->up = false; }

void UnitLink::shutdown() {
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        if (impl_->closing) {
            return;
        }
        impl_->closing = true;
        impl_->up = false;
    }
    impl_->changed.notify_all();
    asio::post(impl_->io, [impl = impl_.get()] {
        if (impl->current) {
            impl->closeConnection(impl->current);
        }
    });
}

void UnitLink::connect(const tcp::endpoint& endpoint) {
    Impl& d = *impl_;
    auto op = std::make_shared<Operation>();
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        if (d.closing) {
            throw system_error(asio::error::shut_down, "connect");
        }
        id = ++d.generations;
        d.generation = id;
        d.up = false;
        d.reader.clear();
        d.inbox.clear();
        d.readError = {};
    }
    asio::post(d.io, [&d, op, id, endpoint] { d.startConnect(op, id, endpoint); });
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.changed.wait_for(guard, d.limits.connect, [&] { return op->done || d.closing; })) {
        op->abandoned = true;
        guard.unlock();
        asio::post(d.io, [&d, id] { d.abandon(id); });
        throw system_error(asio::error::timed_out, "connect");
    }
    if (!op->done) {
        throw system_error(asio::error::shut_down, "connect");
    }
    if (op->result) {
        throw system_error(op->result, "connect");
    }
}

error_code UnitLink::write(const std::string& bytes) {
    Impl& d = *impl_;
    auto op = std::make_shared<Operation>();
    auto data = std::make_shared<const std::string>(bytes);
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        if (d.closing) {
            return asio::error::shut_down;
        }
        id = d.generation;
    }
    asio::post(d.io, [&d, op, data] { d.startWrite(op, data); });
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.changed.wait_for(guard, d.limits.write, [&] { return op->done || d.closing; })) {
        op->abandoned = true;
        if (id == d.generation) {
            d.up = false;
        }
        guard.unlock();
        // Closing the socket ends the stuck write, and the frames queued behind it.
        asio::post(d.io, [&d, id] { d.abandon(id); });
        return asio::error::timed_out;
    }
    return op->done ? op->result : error_code(asio::error::shut_down);
}

std::string UnitLink::readFrame() {
    Impl& d = *impl_;
    const auto deadline = std::chrono::steady_clock::now() + d.limits.answer;
    std::unique_lock<std::mutex> guard(d.lock);
    const std::uint64_t id = d.generation;
    if (id == 0) {
        throw system_error(asio::error::not_connected, "read_until");
    }
    for (;;) {
        if (d.closing) {
            throw system_error(asio::error::shut_down, "read_until");
        }
        if (id != d.generation) {
            throw system_error(asio::error::operation_aborted, "read_until");
        }
        if (!d.inbox.empty()) {
            const std::string bytes = std::move(d.inbox);
            d.inbox.clear();
            d.reader.feed(bytes.data(), bytes.size());  // may raise std::length_error
        }
        std::string response;
        if (d.reader.next(response)) {  // may raise std::out_of_range
            return response;
        }
        if (d.readError) {
            const error_code failure = d.readError;
            d.readError = {};
            throw system_error(failure, "read_until");
        }
        if (d.readingGeneration != id) {
            d.readingGeneration = id;
            asio::post(d.io, [&d, id] { d.startRead(id); });
        }
        if (!d.changed.wait_until(guard, deadline, [&] {
                return d.readingGeneration != id || d.closing || id != d.generation;
            })) {
            throw system_error(asio::error::timed_out, "read_until: no answer from the unit within " +
                                                           std::to_string(d.limits.answer.count()) + " ms");
        }
    }
}

}  // namespace halvex::adaptor_json
