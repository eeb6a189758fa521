#pragma once

// The simulator stand-in in-process, with its waveforms fed every 60 ms as the
// program does, so that whole-program tests can change values and drop connections
// when they need to.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/sim_server_emulator.h"

namespace halvex::test {

class FedSimulator {
public:
    explicit FedSimulator(const std::string& address = "127.0.0.1") {
        halvex::emulators::sim_server::SimServerEmulator::Options options;
        options.address = address;
        options.simPort = 55580;
        options.appPort = 55557;
        options.parameters = halvex::emulators::sim_server::standardPatientParameters();
        server_ = std::make_unique<halvex::emulators::sim_server::SimServerEmulator>(options);
        std::string error;
        if (!server_->start(&error))
            throw std::runtime_error("simulator stand-in: " + error);
        feeder_ = std::thread([this] {
            halvex::emulators::sim_server::WaveformGenerator waves;
            std::unique_lock<std::mutex> guard(lock_);
            while (!stopping_) {
                guard.unlock();
                server_->setValues(waves.nextBatch(*server_));
                guard.lock();
                wake_.wait_for(guard, std::chrono::milliseconds(60), [this] { return stopping_; });
            }
        });
    }
    ~FedSimulator() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        feeder_.join();
        server_->stop();
    }
    FedSimulator(const FedSimulator&) = delete;
    FedSimulator& operator=(const FedSimulator&) = delete;

    halvex::emulators::sim_server::SimServerEmulator& server() { return *server_; }

private:
    std::unique_ptr<halvex::emulators::sim_server::SimServerEmulator> server_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread feeder_;
};

}  // namespace halvex::test
