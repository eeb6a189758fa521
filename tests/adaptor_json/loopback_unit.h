#pragma once

// A minimal stand-in for the JSON unit, for the adaptor's tests: listens on
// <address>:14997, records every byte the adaptor writes, and answers on cue.
// All socket work runs on one thread of its own; the test thread waits on events
// with a deadline.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <boost/asio.hpp>

namespace adaptor_test {

using namespace std::chrono_literals;

class LoopbackUnit {
public:
    explicit LoopbackUnit(const std::string& address, unsigned short port = 14997) : acceptor_(io_) {
        using boost::asio::ip::tcp;
        const tcp::endpoint endpoint(boost::asio::ip::make_address(address), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }

    ~LoopbackUnit() {
        io_.stop();
        thread_.join();
    }

    LoopbackUnit(const LoopbackUnit&) = delete;
    LoopbackUnit& operator=(const LoopbackUnit&) = delete;

    // Complete frames received so far (0x02 ... 0x03, bytes as on the wire).
    std::vector<std::string> frames() const {
        std::lock_guard<std::mutex> lock(lock_);
        return splitFrames(received_);
    }

    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout = 5s) const {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, timeout, [&] { return splitFrames(received_).size() >= count; });
    }

    std::size_t connections() const {
        std::lock_guard<std::mutex> lock(lock_);
        return accepted_;
    }

    bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout = 5s) const {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
    }

    // Writes bytes to the latest connection, in one write.
    void send(const std::string& bytes) {
        onIoThread([this, bytes] {
            if (!clients_.empty()) {
                boost::system::error_code ignored;
                boost::asio::write(*clients_.back(), boost::asio::buffer(bytes), ignored);
            }
        });
    }

    // Resets every accepted connection (the adaptor's next writes fail).
    void dropClients() {
        onIoThread([this] {
            for (auto& client : clients_) {
                boost::system::error_code ignored;
                client->set_option(boost::asio::socket_base::linger(true, 0), ignored);
                client->close(ignored);
            }
            clients_.clear();
        });
    }

private:
    static std::vector<std::string> splitFrames(const std::string& bytes) {
        std::vector<std::string> frames;
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = bytes.find('\x03', start);
            if (end == std::string::npos) {
                return frames;
            }
            frames.push_back(bytes.substr(start, end + 1 - start));
            start = end + 1;
        }
    }

    void onIoThread(std::function<void()> work) {
        std::mutex doneLock;
        std::condition_variable doneSignal;
        bool done = false;
        boost::asio::post(io_, [&] {
            work();
            std::lock_guard<std::mutex> lock(doneLock);
            done = true;
            doneSignal.notify_one();
        });
        std::unique_lock<std::mutex> lock(doneLock);
        if (!doneSignal.wait_for(lock, 5s, [&] { return done; })) {
            std::abort();  // the I/O thread is stuck: no point going on
        }
    }

    void accept() {
        auto client = std::make_shared<boost::asio::ip::tcp::socket>(io_);
        acceptor_.async_accept(*client, [this, client](const boost::system::error_code& code) {
            if (code) {
                return;
            }
            clients_.push_back(client);
            {
                std::lock_guard<std::mutex> lock(lock_);
                ++accepted_;
            }
            changed_.notify_all();
            read(client);
            accept();
        });
    }

    void read(const std::shared_ptr<boost::asio::ip::tcp::socket>& client) {
        auto chunk = std::make_shared<std::vector<char>>(4096);
        client->async_read_some(boost::asio::buffer(*chunk),
                                [this, client, chunk](const boost::system::error_code& code, std::size_t size) {
                                    if (code) {
                                        return;
                                    }
                                    {
                                        std::lock_guard<std::mutex> lock(lock_);
                                        received_.append(chunk->data(), size);
                                    }
                                    changed_.notify_all();
                                    read(client);
                                });
    }

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::vector<std::shared_ptr<boost::asio::ip::tcp::socket>> clients_;  // I/O thread only
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string received_;
    std::size_t accepted_ = 0;
    std::thread thread_;
};

// Runs each test in a fresh, empty working directory: a successful connection
// writes the last-connected-address file there. Also forgets the process-wide address.
class InTempDirectory {
public:
    InTempDirectory() {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            previous_ = cwd;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "halvex_adaptor_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            directory_ = pattern;
            if (chdir(directory_.c_str()) != 0) {
                directory_.clear();
            }
        }
    }
    ~InTempDirectory() {
        if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
            return;
        }
        if (!directory_.empty()) {
            std::remove((directory_ + "/_lastconnectedIPAddress.txt").c_str());
            rmdir(directory_.c_str());
        }
    }
    const std::string& path() const { return directory_; }

private:
    std::string previous_;
    std::string directory_;
};

}  // namespace adaptor_test
