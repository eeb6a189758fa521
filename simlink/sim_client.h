#pragma once

#include "simlink/cs_client.h"

namespace com_krel {

// Client of the simulator server's SIM protocol (port 55580).
class SimClient : public CSClient {
public:
    class Callback : public CSClient::CallbackIface {};

    SimClient(int simulatorId, int flags);
    ~SimClient() override;
};

}  // namespace com_krel
