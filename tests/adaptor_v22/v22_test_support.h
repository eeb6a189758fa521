#pragma once

// Shared pieces of the v2.2 adaptor tests: loopback addresses of a test's own, an
// adaptor bound to them that never looks at the machine's interfaces, and the unit
// stand-in with helpers to read what it received since a mark.
//
// Every test case may run in parallel with the others (CTest runs them one process
// each), so each gets its own run of 256 addresses in the folder's loopback block
// (AdaptorV22 in tests/support/loopback.h), numbered in the test: the adaptor binds
// host 1, the unit host 2, and the other hosts are free for silent addresses.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "adaptor_v22/halvex_adaptor.h"
#include "controller/last_address_store.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace v22test {

using namespace std::chrono_literals;

struct Block {
    int block;  // which run of 256; past the folder's block, host() throws
    std::string host(int n) const {
        static const halvex::test::Loopback folder(halvex::test::LoopbackBlock::AdaptorV22);
        return folder.host(static_cast<std::uint32_t>(block) * 256 + static_cast<std::uint32_t>(n));
    }
    std::string bridge() const { return host(1); }
    std::string unit() const { return host(2); }
};

// Waits short enough that a silent unit costs little, long enough for a loaded machine.
inline halvex::adaptor_v22::ReplyWaits quickWaits() {
    halvex::adaptor_v22::ReplyWaits waits;
    waits.replyPause = 5ms;
    waits.senderPause = 5ms;
    return waits;
}

inline halvex::adaptor_v22::AdaptorOptions optionsFor(const Block& net, bool quick = true) {
    halvex::adaptor_v22::AdaptorOptions options;
    options.transport.localAddress = net.bridge();
    if (quick)
        options.transport.waits = quickWaits();
    options.discovery.attemptPause = 1ms;
    // Never the machine's own interfaces.
    options.localAddresses = halvex::adaptor_v22::fixedLocalAddresses({});
    return options;
}

constexpr const char* kSerial = "HX22-0001";

class UnitFixture : public testing::Test {
protected:
    void startUnit(const Block& net, std::vector<std::string> alsoListenOn = {}) {
        net_ = net;
        unit_unitOptions_.address = net.unit();
        unit_unitOptions_.serialId = kSerial;
        unit_unitOptions_.alsoListenOn = std::move(alsoListenOn);
        unit = std::make_unique<halvex::emulators::unit_v22::UnitEmulator>(unit_unitOptions_);
        unit->start();
        store = std::make_shared<halvex::controller::LastAddressStore>(dir.path());
    }

    std::unique_ptr<halvex::adaptor_v22::HalvexAdaptor> makeAdaptor(halvex::adaptor_v22::AdaptorOptions options) {
        return std::make_unique<halvex::adaptor_v22::HalvexAdaptor>(store, std::move(options));
    }
    std::unique_ptr<halvex::adaptor_v22::HalvexAdaptor> makeAdaptor() { return makeAdaptor(optionsFor(net_)); }

    // An adaptor that found the unit at its fixed address; enabled when asked.
    std::unique_ptr<halvex::adaptor_v22::HalvexAdaptor> foundAdaptor(bool enable) {
        auto adaptor = makeAdaptor();
        EXPECT_TRUE(adaptor->initialize(kSerial, net_.unit(), "", "", false));
        if (enable) {
            adaptor->associate();
            EXPECT_TRUE(adaptor->enabled());
            // The watchdog step ends with [PLETH]0@ and [CO2]0@; wait until they are in.
            EXPECT_TRUE(unit->waitForCommand("CO2", 1, 5s));
        }
        return adaptor;
    }

    std::size_t mark() const { return unit->datagramsReceived().size(); }

    // The texts of the datagrams received since `from`, once there are at least `count`.
    std::vector<std::string> textsSince(std::size_t from, std::size_t count) const {
        unit->waitForDatagrams(from + count, 5s);
        std::vector<std::string> texts;
        const auto all = unit->datagramsReceived();
        for (std::size_t i = from; i < all.size(); ++i)
            texts.push_back(all[i].text);
        return texts;
    }

    // Sends the association check as a marker and returns what arrived since `from`
    // before it: UDP on loopback from one socket keeps its order, so anything sent
    // before the marker is in by then.
    std::vector<std::string> textsBeforeMarker(halvex::adaptor_v22::HalvexAdaptor& adaptor, std::size_t from) const {
        const auto ids = idCount();
        adaptor.checkAssociation();
        EXPECT_TRUE(unit->waitForCommand("ID", ids + 1, 5s));
        std::vector<std::string> texts = textsSince(from, 1);
        EXPECT_FALSE(texts.empty());
        if (!texts.empty()) {
            EXPECT_EQ(texts.back(), "[ID]Halvex v2.2@");
            texts.pop_back();
        }
        return texts;
    }

    std::uint64_t idCount() const {
        const auto stats = unit->snapshot();
        const auto it = stats.commandCounts.find("ID");
        return it == stats.commandCounts.end() ? 0 : it->second;
    }

    halvex::test::TempDir dir;
    std::shared_ptr<halvex::controller::LastAddressStore> store;
    std::unique_ptr<halvex::emulators::unit_v22::UnitEmulator> unit;
    Block net_{0};

private:
    halvex::emulators::unit_v22::UnitEmulator::Options unit_unitOptions_;
};

}  // namespace v22test
