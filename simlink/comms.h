#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net_socket.h"
#include "simlink/log.h"
#include "simlink/raw_message.h"
#include "simlink/threading.h"
#include "simlink/types.h"

namespace com_krel {

// What one read from the transport gave.
enum class ReadResult {
    Received,  // at least one byte was appended to the target
    Closed,    // the peer closed or reset the connection (or interrupt woke the read)
    Failed,    // a socket error, or no connection
    TimedOut,  // nothing arrived within the receive time-out
};

// The byte pipe to the server.
class CSCommsInterface {
public:
    virtual ~CSCommsInterface() = default;
    // Appends up to count received bytes to target. Only Received changes target;
    // the bytes appended are what it grew by.
    virtual ReadResult read(int count, RawMessage& target) = 0;
    // Bytes sent (all of source, or fewer), or -1.
    virtual int write(const RawMessage& source) = 0;
    virtual void close() = 0;
    // Wakes a read blocked on the connection, from any thread: it returns as if the
    // peer had closed. The transport stays open until close().
    virtual void interrupt() {}
    // address in network byte order, port in host order.
    virtual bool open(std::uint32_t address, int port) = 0;
    // Buffer sizes for the next open.
    virtual void configure(const BufferSizes& sizes) { (void)sizes; }
    // Platform code of the last failed write.
    virtual int lastError() const { return 0; }
};

// One TCP client socket with the link's fixed set of options.
class CSCommsInterfaceTCP : public CSCommsInterface {
public:
    explicit CSCommsInterfaceTCP(const BufferSizes& sizes = {}, LogSink log = printLine);
    ~CSCommsInterfaceTCP() override;

    ReadResult read(int count, RawMessage& target) override;
    int write(const RawMessage& source) override;
    void close() override;
    void interrupt() override;
    bool open(std::uint32_t address, int port) override;
    void configure(const BufferSizes& sizes) override;
    int lastError() const override { return lastWriteError_.load(); }

    // The receive and send time-outs set by open, in seconds.
    static constexpr int kReceiveTimeoutSeconds = 1;
    static constexpr int kSendTimeoutSeconds = 30;

private:
    void closeLocked();

    // Written under socketLock_ by the receiving thread; read by writers under
    // sendLock_ alone (closeLocked waits for them), hence atomic.
    std::atomic<halvex::platform::net::SocketHandle> socket_{halvex::platform::net::kInvalidSocket};
    std::atomic<int> receiveBufferSize_;
    std::atomic<int> sendBufferSize_;
    std::atomic<int> lastWriteError_{0};
    std::atomic<int> writers_{0};  // threads inside write
    LogSink log_;
    CSMutex socketLock_;
    CSMutex sendLock_;
};

}  // namespace com_krel
