#include "tests/lab/devtools.h"

#include <boost/beast/http.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <signal.h>

#include <regex>
#include <sstream>
#include <stdexcept>

namespace halvex::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace pt = boost::property_tree;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kCallTimeout = std::chrono::seconds(20);

pt::ptree parseJson(const std::string& text) {
    pt::ptree tree;
    std::istringstream in(text);
    pt::read_json(in, tree);
    return tree;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + '"';
}

}  // namespace

std::string base64Decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const auto at = alphabet.find(c);
        if (at == std::string::npos) continue;  // padding, line ends
        bits = (bits << 6) | static_cast<unsigned>(at);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

HeadlessBrowser::HeadlessBrowser(const std::string& chromium, const std::string& url, const std::string& profileDir,
                                 std::chrono::seconds timeout) {
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
        "--disable-background-networking", "--disable-sync", "--disable-component-update",
        "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", "--user-data-dir=" + profileDir,
        "--window-size=1280,720", url});
    const auto line = process_->lineContaining("DevTools listening on ws://", timeout, true);
    if (!line) throw std::runtime_error("chromium offered no DevTools endpoint:\n" + process_->err());
    std::smatch m;
    if (!std::regex_search(*line, m, std::regex("ws://127\\.0\\.0\\.1:([0-9]+)/")))
        throw std::runtime_error("unexpected DevTools line: " + *line);
    const auto port = static_cast<unsigned short>(std::stoi(m[1]));

    // The page's own endpoint, from the target list.
    std::string pagePath;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pagePath.empty()) {
        beast::tcp_stream stream(io_);
        stream.expires_after(kCallTimeout);
        stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        http::request<http::empty_body> request(http::verb::get, "/json/list", 11);
        request.set(http::field::host, "127.0.0.1");
        http::write(stream, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        const pt::ptree targets = parseJson("{\"list\":" + response.body() + "}");
        for (const auto& target : targets.get_child("list")) {
            if (target.second.get<std::string>("type", "") == "page" &&
                target.second.get<std::string>("url", "").rfind(url, 0) == 0) {
                const std::string ws = target.second.get<std::string>("webSocketDebuggerUrl", "");
                pagePath = ws.substr(ws.find('/', std::string("ws://").size()));
            }
        }
        if (pagePath.empty()) {
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("chromium opened no page");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ws_ = std::make_unique<beast::websocket::stream<beast::tcp_stream>>(io_);
    beast::get_lowest_layer(*ws_).expires_after(kCallTimeout);
    beast::get_lowest_layer(*ws_).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws_->read_message_max(64 * 1024 * 1024);
    ws_->handshake("127.0.0.1:" + std::to_string(port), pagePath);
}

HeadlessBrowser::~HeadlessBrowser() {
    if (ws_) {
        beast::error_code ignored;
        beast::get_lowest_layer(*ws_).socket().close(ignored);
    }
    if (process_) {
        process_->kill(SIGTERM);
        if (process_->wait(std::chrono::seconds(10)) == -1) process_->kill(SIGKILL);
        process_->wait(std::chrono::seconds(10));
    }
}

std::string HeadlessBrowser::log() { return process_->err(); }

std::string HeadlessBrowser::call(const std::string& method, const std::string& params,
                                  const std::string& resultPath) {
    const int id = nextId_++;
    beast::get_lowest_layer(*ws_).expires_after(kCallTimeout);
    ws_->text(true);
    ws_->write(asio::buffer("{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params +
                            "}"));
    for (;;) {  // events may come first; they are not asked for, but skip them
        beast::flat_buffer buffer;
        ws_->read(buffer);
        const pt::ptree answer = parseJson(beast::buffers_to_string(buffer.data()));
        if (answer.get<int>("id", 0) != id) continue;
        if (answer.get_child_optional("error"))
            throw std::runtime_error(method + " failed: " + answer.get<std::string>("error.message", "?"));
        if (answer.get_child_optional("result.exceptionDetails"))
            throw std::runtime_error(method + " threw: " +
                                     answer.get<std::string>("result.exceptionDetails.text", "?") + ' ' +
                                     answer.get<std::string>("result.exceptionDetails.exception.description", ""));
        return answer.get<std::string>(resultPath);
    }
}

std::string HeadlessBrowser::evaluate(const std::string& expression) {
    return call("Runtime.evaluate", "{\"expression\":" + jsonString(expression) + ",\"returnByValue\":true}",
                "result.result.value");
}

std::string HeadlessBrowser::screenshot() {
    return base64Decode(call("Page.captureScreenshot", "{\"format\":\"png\"}", "result.data"));
}

}  // namespace halvex::test
