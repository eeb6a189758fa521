#include "emulators/monitor/lab_outputs.h"

namespace halvex::emulators::monitor {

namespace po = boost::program_options;

void LabOutputs::addOptions(po::options_description& options) {
    options.add_options()
        ("http", po::value<std::string>(&http_),
         "serve the virtual monitor on [ADDRESS:]PORT (address 127.0.0.1 unless given; loopback only)")
        ("record", po::value<std::string>(&record_),
         "write every received numeric and waveform sample with its receive time to FILE (CSV)");
}

bool LabOutputs::open(const ChannelMap& channels, const std::string& unitName, std::string& error) {
    try {
        if (!record_.empty()) recorder_ = std::make_unique<SampleRecorder>(record_);
        if (!http_.empty()) {
            std::string address;
            unsigned short port = 0;
            if (!parseHttpAddress(http_, address, port, error)) {
                error = "--http: " + error;
                return false;
            }
            monitor_ = std::make_unique<MonitorServer>(address, port, channels, unitName);
            monitor_->start();
        }
    } catch (const std::exception& e) {
        error = e.what();
        if (!http_.empty() && !monitor_) error = "--http " + http_ + ": " + error;
        monitor_.reset();
        return false;
    }
    return true;
}

void LabOutputs::received(const Received& values) {
    if (recorder_) recorder_->received(values);
    if (monitor_) monitor_->received(values);
}

std::string LabOutputs::monitorUrl() const { return monitor_ ? monitor_->url() : std::string(); }

bool LabOutputs::finish(std::string& error) {
    if (monitor_) monitor_->stop();
    if (recorder_ && !recorder_->ok()) {
        error = recorder_->error();
        return false;
    }
    return true;
}

}  // namespace halvex::emulators::monitor
