#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simlink/types.h"

namespace com_krel {

class CSClientProtocol;

// The facade a user holds: owns one protocol engine and forwards to it.
class CSClient {
public:
    // What the user implements to hear from a client. Every operation has an empty
    // default body. See the threading notes in the README: callbacks run on the
    // client's receiving thread (connectionStateChanged on whichever thread changes
    // the state) and must not block for long.
    class CallbackIface {
    public:
        virtual ~CallbackIface() = default;
        virtual void connectionStateChanged(int oldState, int newState) { (void)oldState; (void)newState; }
        virtual void parametersUpdated(const std::vector<ParameterValue>& values) { (void)values; }
        virtual void inputsRegistered(const std::vector<ParameterRequest>& inputs) { (void)inputs; }
        virtual void outputsRegistered(const std::vector<OutputRegistration>& outputs) { (void)outputs; }
    };

    virtual ~CSClient();
    CSClient(const CSClient&) = delete;
    CSClient& operator=(const CSClient&) = delete;

    // Adds a callback (not owned). True when added, false when already registered.
    bool registerCallback(CallbackIface* callback);

    // Starts connecting to a dotted IPv4 address; 0 means connecting has begun.
    int connect(const std::string& dottedAddress, int port);
    int connect(const std::string& dottedAddress, int port, const BufferSizes& sizes);
    // Address in network byte order. sizes may be null (platform defaults).
    virtual int connect(std::uint32_t address, int port, const BufferSizes* sizes = nullptr);
    virtual void disconnect();

    int subscribeInputs(const std::vector<ParameterRequest>& inputs);
    int unsubscribeInputs(const std::vector<std::string>& ids);

    int getState() const;

    // The engine, for tests and diagnostics.
    CSClientProtocol& protocol() const { return *engine_; }

protected:
    explicit CSClient(std::unique_ptr<CSClientProtocol> engine);
    CSClientProtocol& engine() const { return *engine_; }

private:
    std::unique_ptr<CSClientProtocol> engine_;
};

}  // namespace com_krel
