#include "platform/net_socket.h"
#include "simlink/app_client.h"
#include "simlink/app_protocol.h"
#include "simlink/cs_client.h"
#include "simlink/sim_client.h"
#include "simlink/simulator_protocol.h"

namespace com_krel {

CSClient::CSClient(std::unique_ptr<CSClientProtocol> engine) : engine_(std::move(engine)) {}

// The engine's own destructor stops the receiving thread and waits for it.
CSClient::~CSClient() = default;

bool CSClient::registerCallback(CallbackIface* callback) { return engine_->registerCallback(callback); }

int CSClient::connect(const std::string& dottedAddress, int port) {
    return connect(halvex::platform::net::parseDottedAddress(dottedAddress), port, nullptr);
}

int CSClient::connect(const std::string& dottedAddress, int port, const BufferSizes& sizes) {
    return connect(halvex::platform::net::parseDottedAddress(dottedAddress), port, &sizes);
}

int CSClient::connect(std::uint32_t address, int port, const BufferSizes* sizes) {
    return engine_->connect(address, port, sizes);
}

void CSClient::disconnect() { engine_->disconnect(); }

int CSClient::subscribeInputs(const std::vector<ParameterRequest>& inputs) { return engine_->subscribeInputs(inputs); }

int CSClient::unsubscribeInputs(const std::vector<std::string>& ids) { return engine_->unsubscribeInputs(ids); }

int CSClient::getState() const { return engine_->getState(); }

SimClient::SimClient(int simulatorId, int flags)
    : CSClient(std::make_unique<SimulatorProtocol>(simulatorId, flags)) {}

SimClient::~SimClient() = default;

AppClient::AppClient(int flags) : CSClient(std::make_unique<AppProtocol>(flags)) {}

// The engine stops its flow-control thread before anything else is destroyed.
AppClient::~AppClient() = default;

int AppClient::startFlowControl() { return static_cast<AppProtocol&>(engine()).startFlowControl(); }

void AppClient::stopFlowControl() { static_cast<AppProtocol&>(engine()).stopFlowControl(); }

}  // namespace com_krel
