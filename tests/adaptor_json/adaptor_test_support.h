#pragma once

// What the adaptor's tests share: the stand-in unit on a loopback address of the
// test's own, a last-connected-address store in a fresh folder, and the frames of
// the bytes the unit received.

#include <memory>
#include <string>
#include <vector>

#include "controller/last_address_store.h"
#include "emulators/unit_json/unit_emulator.h"
#include "adaptor_json/halvex_adaptor.h"
#include "tests/support/process.h"

namespace adaptor_test {

using halvex::adaptor_json::HalvexAdaptor;

// The stand-in unit, listening on address:14997.
inline std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> startUnit(const std::string& address) {
    auto unit = std::make_unique<halvex::emulators::unit_json::UnitEmulator>(address, halvex::adaptor_json::kUnitPort);
    unit->start();
    return unit;
}

// Complete frames (0x02 ... 0x03, bytes as on the wire).
inline std::vector<std::string> framesOf(const std::string& bytes) {
    std::vector<std::string> frames;
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\x03'); end != std::string::npos; end = bytes.find('\x03', start)) {
        frames.push_back(bytes.substr(start, end + 1 - start));
        start = end + 1;
    }
    return frames;
}

inline std::vector<std::string> framesReceived(const halvex::emulators::unit_json::UnitEmulator& unit) {
    return framesOf(unit.bytesReceived());
}

// A store in a fresh folder, removed with it.
struct StoreFolder {
    halvex::test::TempDir folder;
    std::shared_ptr<halvex::controller::LastAddressStore> store = std::make_shared<halvex::controller::LastAddressStore>(folder.path());
};

}  // namespace adaptor_test
