#pragma once

// The unit adaptor of the v2.2 edition: bracketed text commands over UDP (port 14996)
// to a Halvex v2.2 unit, found by fixed address, address range or broadcast and taken
// by serial id. It composes:
//   CommandPath   the I/O service, the current UdpAdaptor (transport), the open batch,
//                 the fire-and-forget and request-and-reply paths, `enabled`, `verbose`
//   UnitFinder    discovery, identification, association, the watchdog, the check
//   run_values    this unit's bounds and wave texts of the run-mode commands (the
//                 shared bounds and resampling in unit_values/)
//   WifiExchanges configuration mode and the WiFi exchanges (the WiFi set-up mode)
//
// Threads: the adaptor has none of its own besides the transport's receive thread
// (udp_transport.h). Every operation runs on its caller's thread and takes no lock:
// two operations must never overlap (the controller calls under its lock, the WiFi
// mode from its one thread). Overlapping calls are detected, counted and reported
// with an "HX>ERROR>" line, so a caller that breaks the rule is seen at once.
//
// Every wait on the unit is bounded: a query waits ReplyWaits (about 300 ms), an
// identification its budget of ReplyWaits (about 600 ms each), initialize without
// retry-for-ever DiscoveryLimits::kAttempts attempts.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adaptor_v22/command_path.h"
#include "adaptor_v22/discovery.h"
#include "adaptor_v22/local_addresses.h"
#include "adaptor_v22/run_values.h"
#include "adaptor_v22/wifi_exchanges.h"
#include "controller/last_address_store.h"
#include "controller/edition_v22_adaptor.h"

namespace halvex::adaptor_v22 {

struct AdaptorOptions {
    TransportOptions transport;
    DiscoveryLimits discovery;
    WifiLimits wifi;
    // Broadcast detection's local addresses; tests give 127.x addresses.
    LocalAddressSource localAddresses = machineIPv4Addresses;
};

class HalvexAdaptor : public controller::V22UnitAdaptor {
public:
    // `lastAddress` remembers the address that last led to a unit (one store per
    // process, shared by every adaptor); must not be null.
    explicit HalvexAdaptor(std::shared_ptr<LastAddressStore> lastAddress, AdaptorOptions options = {});
    // Releases the transport (the unit receives "[STOPME]@"), then the I/O service.
    ~HalvexAdaptor() override;
    HalvexAdaptor(const HalvexAdaptor&) = delete;
    HalvexAdaptor& operator=(const HalvexAdaptor&) = delete;

    // Up to DiscoveryLimits::kAttempts attempts (for ever with retryForever) by fixed
    // address, else by range, else by broadcast. Raises InvalidRangeError for a range
    // whose start is not below its end, and boost::system::system_error for an address
    // that cannot be parsed or resolved or a port that cannot be bound.
    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever) override;
    void setVerbose() override;
    // Ends discovery (no operation scope: it is meant to overlap initialize); the
    // association, disable and the transport's release work as before.
    void interrupt() override;

    bool checkAssociation() override;
    void associate() override;
    void disable() override;
    void beginBatch() override;
    void flushBatch() override;

    void sendHeartRate(int value) override;
    void sendRespirationRate(int value) override;
    void sendBloodPressure(int systolic, int diastolic, int mean) override;
    void clearBloodPressure() override;
    void sendSpO2(int value) override;
    void sendSpO2Probe(bool attached) override;
    void sendSpO2Scale(int value) override;
    void sendTemperature1(float value) override;
    void sendTemperature2(float value) override;
    void clearTemperature1() override;
    void clearTemperature2() override;
    void clearCo2() override;
    void sendAbpWave(std::vector<float>& samples) override;
    void sendCvpWave(std::vector<float>& samples) override;
    void sendPapWave(std::vector<float>& samples) override;
    void sendPlethWave(std::vector<float>& samples) override;
    void sendCo2Wave(std::vector<float>& samples) override;

    // The WiFi set-up mode's exchanges. Like every fire-and-forget command, the two
    // WiFi commands leave only while the unit is enabled; the looks happen anyway.
    // configureWifi is false when the unit never answers within
    // WifiLimits::kConfigureLooks looks.
    void enterConfigMode() override;
    bool resetWifiToFactory() override;
    bool configureWifi(const std::string& ssid, const std::string& password) override;

    // The state discovery and association left.
    const std::string& serialId() const { return finder_.serialId(); }
    const std::string& unitAddress() const { return finder_.unitAddress(); }
    bool found() const { return finder_.found(); }
    bool enabled() const { return path_.enabled(); }
    bool hasTransport() const { return path_.hasTransport(); }
    // Calls that began while another was still running.
    std::uint64_t overlappingCalls() const { return overlaps_.load(); }

private:
    class OperationScope;
    void sendWave(Wave wave, std::vector<float>& samples);

    std::atomic<int> active_{0};
    std::atomic<std::uint64_t> overlaps_{0};
    CommandPath path_;
    UnitFinder finder_;
    WifiExchanges wifi_;
};

}  // namespace halvex::adaptor_v22
