#pragma once

// The two paths by which every command reaches the unit, over the current transport:
//   fire-and-forget (sendCommand): sent only while the unit is enabled; joins the open
//     batch if there is one, which leaves as one datagram of at most
//     CommandBatch::kDatagramLimit characters;
//   request-and-reply (queryCommand): always sent at once, alone, and answered by
//     the next reply within the transport's waitReply.
// It owns the I/O service on which every transport is created and at most one
// transport at a time. Not thread-safe: one operation at a time (see halvex_adaptor.h).

#include <boost/asio/io_context.hpp>

#include <memory>
#include <optional>
#include <string>

#include "adaptor_v22/command_batch.h"
#include "adaptor_v22/udp_transport.h"

namespace halvex::adaptor_v22 {

class CommandPath {
public:
    explicit CommandPath(TransportOptions options) : options_(std::move(options)) {}
    ~CommandPath();
    CommandPath(const CommandPath&) = delete;
    CommandPath& operator=(const CommandPath&) = delete;

    // Replaces the transport with a new one to `address`, receiving. The old one is
    // stopped first, so two transports never hold the port at once. Raises what the
    // transport's construction raises (no transport is held then).
    void openTransport(const std::string& address);
    void releaseTransport();
    bool hasTransport() const { return transport_ != nullptr; }

    bool enabled() const { return enabled_; }
    void setEnabled(bool on) { enabled_ = on; }
    void setVerbose() { verbose_ = true; }

    void beginBatch();
    void flushBatch();
    bool batchOpen() const { return batch_.has_value(); }

    // Fire-and-forget; dropped without a trace while not enabled.
    void sendCommand(const std::string& word, const std::string& payload);
    // Request-and-reply; empty text when no reply came (or no transport is held).
    std::string queryCommand(const std::string& word, const std::string& payload);
    // A datagram of its own, whatever the state (the identification request).
    void sendDatagram(const std::string& text);
    // The transport's waitReplyWithSender; false when no transport is held.
    bool waitReplyWithSender(std::string& reply, std::string& sender);

private:
    void trace(const std::string& text) const;

    const TransportOptions options_;
    std::optional<CommandBatch> batch_;
    bool enabled_ = false;
    bool verbose_ = false;
    boost::asio::io_context io_;
    // After io_: released before the I/O service it was created on.
    std::unique_ptr<UdpAdaptor> transport_;
};

}  // namespace halvex::adaptor_v22
