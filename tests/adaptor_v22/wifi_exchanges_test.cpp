// Configuration mode and the WiFi exchanges against the unit stand-in.
#include <gtest/gtest.h>

#include "tests/adaptor_v22/v22_test_support.h"
#include "tests/support/console_capture.h"

namespace {

using halvex::platform::Channel;
using halvex::test::ConsoleCapture;
using namespace v22test;

class WifiExchanges : public UnitFixture {
protected:
    halvex::adaptor_v22::AdaptorOptions quickWifi(const Block& net) {
        auto options = optionsFor(net);
        options.wifi.lookPause = 20ms;
        options.wifi.factoryResetLooks = 5;
        options.wifi.configureLooks = 5;
        return options;
    }
    std::unique_ptr<halvex::adaptor_v22::HalvexAdaptor> enabledWith(halvex::adaptor_v22::AdaptorOptions options) {
        auto adaptor = makeAdaptor(std::move(options));
        EXPECT_TRUE(adaptor->initialize("", net_.unit(), "", "", false));
        adaptor->associate();
        EXPECT_TRUE(adaptor->enabled());
        EXPECT_TRUE(unit->waitForCommand("CO2", 1, 5s));
        return adaptor;
    }
};

TEST_F(WifiExchanges, ConfigModeAndFactoryResetPrintWhatTheUnitSays) {
    startUnit({65});
    auto options = optionsFor({65});
    options.transport.waits.polls = 100;  // one look lasts longer than the unit's 300 ms
    auto adaptor = enabledWith(options);
    ConsoleCapture console;
    adaptor->enterConfigMode();
    EXPECT_TRUE(adaptor->resetWifiToFactory());
    EXPECT_EQ(console.lines(Channel::Out),
              (std::vector<std::string>{"Reading: [config]ok@", "Reading: [wifi_factory_reset]@",
                                        "Reading: [wifi_factory_reset]done@"}));
}

TEST_F(WifiExchanges, CredentialsGoOutUnchangedAndTheOutcomeEndsTheExchange) {
    startUnit({66});
    auto options = optionsFor({66});
    options.transport.waits.polls = 100;
    auto adaptor = enabledWith(options);
    struct Case {
        std::string ssid, password, datagram;
    } cases[] = {
        {"Lab Net", "s3cr,et@", "[WIFI_CFG]57600,14996,0,Lab Net,s3cr,et@@"},
        {"Lab", "", "[WIFI_CFG]57600,14996,0,Lab,@"},
    };
    for (const Case& c : cases) {
        const std::size_t from = mark();
        ConsoleCapture console;
        EXPECT_TRUE(adaptor->configureWifi(c.ssid, c.password));
        EXPECT_TRUE(console.err().empty()) << console.err();
        EXPECT_EQ(textsSince(from, 1).at(0), c.datagram);
    }
}

TEST_F(WifiExchanges, SilentOrAcknowledgingOnlyUnitEndsAfterTheLooks) {
    startUnit({67});
    auto adaptor = enabledWith(quickWifi({67}));
    unit->overrideReply("WIFI_FACTORY_RESET", {});
    unit->overrideReply("WIFI_CFG", {{"[wifi_cgf]ok@"}});
    ConsoleCapture console;
    EXPECT_FALSE(adaptor->resetWifiToFactory());
    EXPECT_FALSE(adaptor->configureWifi("Lab", "pw"));
}

TEST_F(WifiExchanges, NothingLeavesWhileNotEnabled) {
    startUnit({68});
    auto adaptor = makeAdaptor(quickWifi({68}));
    ASSERT_TRUE(adaptor->initialize("", Block{68}.unit(), "", "", false));
    const std::size_t from = mark();
    EXPECT_FALSE(adaptor->resetWifiToFactory());
    adaptor->configureWifi("Lab", "pw");
    EXPECT_EQ(textsBeforeMarker(*adaptor, from), std::vector<std::string>{});
}

}  // namespace
