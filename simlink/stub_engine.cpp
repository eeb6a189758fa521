// Temporary placeholder so that users can link against com_krel while the
// protocol engines are written.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simlink/app_client.h"
#include "simlink/cs_client.h"
#include "simlink/sim_client.h"

namespace com_krel {

class CSClientProtocol {
public:
    virtual ~CSClientProtocol() = default;
};

CSClient::CSClient(std::unique_ptr<CSClientProtocol> engine) : engine_(std::move(engine)) {}
CSClient::~CSClient() = default;
bool CSClient::registerCallback(CallbackIface* callback) { return callback != nullptr; }
int CSClient::connect(const std::string&, int) { return ResultFailed; }
int CSClient::connect(const std::string&, int, const BufferSizes&) { return ResultFailed; }
int CSClient::connect(std::uint32_t, int, const BufferSizes*) { return ResultFailed; }
void CSClient::disconnect() {}
int CSClient::subscribeInputs(const std::vector<ParameterRequest>&) { return ResultNotConnected; }
int CSClient::unsubscribeInputs(const std::vector<std::string>&) { return ResultNotConnected; }
int CSClient::getState() const { return Idle; }

SimClient::SimClient(int, int) : CSClient(std::make_unique<CSClientProtocol>()) {}
SimClient::~SimClient() = default;

AppClient::AppClient(int) : CSClient(std::make_unique<CSClientProtocol>()) {}
AppClient::~AppClient() = default;
int AppClient::startFlowControl() { return ResultOk; }
void AppClient::stopFlowControl() {}

}  // namespace com_krel
