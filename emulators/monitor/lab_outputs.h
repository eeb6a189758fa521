#pragma once

// The two lab outputs both unit emulator programs offer, written once:
//   --http [ADDRESS:]PORT   the virtual monitor (monitor_server.h)
//   --record FILE           every received numeric and sample as CSV (sample_recorder.h)
// The program adds the options, opens the outputs after parsing and hands every
// frame's or datagram's values to received().

#include <boost/program_options.hpp>

#include <memory>
#include <string>

#include "emulators/monitor/monitor_server.h"
#include "emulators/monitor/sample_recorder.h"

namespace halvex::emulators::monitor {

class LabOutputs : public ReceivedSink {
public:
    void addOptions(boost::program_options::options_description& options);
    // After parsing: opens what was asked for. False with a reason.
    bool open(const ChannelMap& channels, const std::string& unitName, std::string& error);
    void received(const Received& values) override;
    // The monitor's address, or empty without --http.
    std::string monitorUrl() const;
    // Stops the monitor. False with a reason when the record could not be written.
    bool finish(std::string& error);

private:
    std::string http_;
    std::string record_;
    std::unique_ptr<MonitorServer> monitor_;
    std::unique_ptr<SampleRecorder> recorder_;
};

}  // namespace halvex::emulators::monitor
