#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace simlink_test {

// A tiny server on 127.0.0.1, ephemeral port: records every frame it receives,
// answers through onFrame (run on its own thread), and can drop the link on cue.
class FakeServer {
public:
    std::function<void(FakeServer&, const Bytes& frame)> onFrame;

    FakeServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 4);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        if (client_ >= 0) ::close(client_);
        ::close(listener_);
    }

    int port() const { return port_; }

    void send(const Bytes& b) {
        std::lock_guard<std::mutex> g(m_);
        if (client_ >= 0) (void)::send(client_, b.data(), b.size(), MSG_NOSIGNAL);
    }
    void dropConnection() {
        std::lock_guard<std::mutex> g(m_);
        if (client_ >= 0) ::close(client_);
        client_ = -1;
        buffer_.clear();
    }
    // Frames received so far, and on which connection (1, 2, ...).
    std::vector<std::pair<int, Bytes>> frames() {
        std::lock_guard<std::mutex> g(m_);
        return frames_;
    }
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds t = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, t, [&] {
            g.unlock();
            bool d = done();
            g.lock();
            return d;
        });
    }
    int connections() {
        std::lock_guard<std::mutex> g(m_);
        return connections_;
    }
    // Frames of a payload type (application frames) or of class 3 (type 0xFFFF).
    std::vector<Bytes> framesOfType(std::uint16_t type, int connection = 0) {
        std::vector<Bytes> out;
        for (auto& f : frames()) {
            if (connection && f.first != connection) continue;
            const Bytes& b = f.second;
            const bool flow = b.size() >= 12 && b[11] == 3;
            const std::uint16_t t = flow ? 0xFFFF : b.size() >= 44 ? static_cast<std::uint16_t>((b[42] << 8) | b[43]) : 0;
            if (t == type) out.push_back(b);
        }
        return out;
    }

private:
    void loop() {
        while (!stop_) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {-1, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> g(m_);
                fds[1].fd = client_;
            }
            if (::poll(fds, 2, 20) <= 0) {
                cv_.notify_all();
                continue;
            }
            if (fds[0].revents & POLLIN) {
                int c = ::accept(listener_, nullptr, nullptr);
                std::lock_guard<std::mutex> g(m_);
                if (client_ >= 0) ::close(client_);
                client_ = c;
                buffer_.clear();
                ++connections_;
            }
            if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::uint8_t tmp[65536];
                std::vector<Bytes> complete;
                {
                    std::lock_guard<std::mutex> g(m_);
                    if (client_ != fds[1].fd) continue;
                    ssize_t n = ::recv(client_, tmp, sizeof tmp, 0);
                    if (n <= 0) {
                        ::close(client_);
                        client_ = -1;
                        continue;
                    }
                    buffer_.insert(buffer_.end(), tmp, tmp + n);
                    while (buffer_.size() >= 4) {
                        std::size_t len = (std::size_t(buffer_[0]) << 24) | (buffer_[1] << 16) | (buffer_[2] << 8) | buffer_[3];
                        if (len < 32 || buffer_.size() < len) break;
                        complete.emplace_back(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(len));
                        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(len));
                        frames_.emplace_back(connections_, complete.back());
                    }
                }
                for (auto& f : complete) {
                    if (onFrame) onFrame(*this, f);
                }
            }
            cv_.notify_all();
        }
    }

    int listener_ = -1;
    int port_ = 0;
    int client_ = -1;
    int connections_ = 0;
    Bytes buffer_;
    std::vector<std::pair<int, Bytes>> frames_;
    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

inline std::uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// A port on 127.0.0.1 where nothing listens.
inline int closedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

inline std::uint32_t wordAt(const Bytes& b, std::size_t at) {
    return (std::uint32_t(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

template <class F>
bool eventually(F done, std::chrono::milliseconds t = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + t;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace simlink_test
