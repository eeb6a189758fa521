#pragma once
// A headless Chromium driven over its DevTools protocol, for the browser test of the
// virtual monitor: the browser opens one page, the test evaluates expressions in it
// and takes screenshots. Loopback only: the browser's DevTools port is on 127.0.0.1
// and picked by the browser (--remote-debugging-port=0).

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/process.h"

namespace halvex::test {

class HeadlessBrowser {
public:
    // Starts `chromium` on `url` with a profile in `profileDir`; std::runtime_error
    // when it does not offer its DevTools endpoint within `timeout`.
    HeadlessBrowser(const std::string& chromium, const std::string& url, const std::string& profileDir,
                    std::chrono::seconds timeout);
    ~HeadlessBrowser();

    // Evaluates a JavaScript expression that yields a string; its value.
    std::string evaluate(const std::string& expression);
    // The page as PNG bytes.
    std::string screenshot();
    std::string log();

private:
    std::string call(const std::string& method, const std::string& params, const std::string& resultPath);

    std::unique_ptr<ChildProcess> process_;
    boost::asio::io_context io_;
    std::unique_ptr<boost::beast::websocket::stream<boost::beast::tcp_stream>> ws_;
    int nextId_ = 1;
};

std::string base64Decode(const std::string& text);

}  // namespace halvex::test
