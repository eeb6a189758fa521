#pragma once

#include "simlink/cs_client.h"

namespace com_krel {

// Run state of the active SCE. sceRunStateChanged passes it as its int value.
enum class AppRunState : int {
    NotStarted = 0,  // no started patient, or the SCE ended
    Announced = 1,   // an SCE was announced
    Speed0 = 2,      // created or paused
    Speed1x = 3,     // started
    Speed4x = 4,
    Speed8x = 5,
};

// Client of the simulator server's APP protocol (port 55557).
class AppClient : public CSClient {
public:
    // Adds the SCE notifications to the base callbacks. They are delivered only to
    // registered callbacks of this type. Status arguments: 0 success, 6 failure.
    class Callback : public CSClient::CallbackIface {
    public:
        virtual void sceStatusReport(int sceId, int patientId, int sceDetail, int status) { (void)sceId; (void)patientId; (void)sceDetail; (void)status; }
        virtual void sceAdopted(int sceId, int patientId, int sceDetail) { (void)sceId; (void)patientId; (void)sceDetail; }
        virtual void sceCleared(int sceId, int patientId, int sceDetail, int status) { (void)sceId; (void)patientId; (void)sceDetail; (void)status; }
        virtual void sceEventReport(int sceId, int patientId, int sceDetail, int status) { (void)sceId; (void)patientId; (void)sceDetail; (void)status; }
        virtual void sceRunStateChanged(int sceId, int runState, int status) { (void)sceId; (void)runState; (void)status; }
        virtual void noActiveSce() {}
    };

    explicit AppClient(int flags);
    ~AppClient() override;

    // 2 when the flow-control thread already runs or cannot start, else 0.
    int startFlowControl();
    // Stops the flow-control thread and waits for it to end.
    void stopFlowControl();
};

}  // namespace com_krel
