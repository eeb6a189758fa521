#include "adaptor_v22/command_path.h"

#include "adaptor_v22/command_text.h"

#include "platform/line_sink.h"

namespace halvex::adaptor_v22 {

CommandPath::~CommandPath() { releaseTransport(); }

void CommandPath::openTransport(const std::string& address) {
    releaseTransport();
    transport_ = std::make_unique<UdpAdaptor>(io_, address, options_);
    transport_->startReceiving();
}

void CommandPath::releaseTransport() { transport_.reset(); }

void CommandPath::beginBatch() {
    if (!batch_)
        batch_.emplace();
}

void CommandPath::flushBatch() {
    if (!batch_)
        return;
    const std::string text = batch_->take();
    batch_.reset();
    if (text.empty())
        return;
    if (enabled_ && transport_)
        transport_->send(text);
    trace(text);
}

void CommandPath::sendCommand(const std::string& word, const std::string& payload) {
    if (!enabled_)
        return;
    const std::string text = commandText(word, payload);
    if (batch_) {
        // The test is made against what is pending, before appending.
        if (batch_->mustLeaveBefore(text.size())) {
            flushBatch();
            beginBatch();
        }
        batch_->append(text);
        return;
    }
    sendDatagram(text);
}

std::string CommandPath::queryCommand(const std::string& word, const std::string& payload) {
    if (!transport_)
        return {};
    const std::string text = commandText(word, payload);
    transport_->send(text);
    std::string reply = transport_->waitReply();
    trace(text);
    return reply;
}

void CommandPath::sendDatagram(const std::string& text) {
    if (!transport_)
        return;
    transport_->send(text);
    trace(text);
}

bool CommandPath::waitReplyWithSender(std::string& reply, std::string& sender) {
    return transport_ && transport_->waitReplyWithSender(reply, sender);
}

void CommandPath::trace(const std::string& text) const {
    if (verbose_)
        platform::printOut("HX>Sending: " + text);
}

}  // namespace halvex::adaptor_v22
