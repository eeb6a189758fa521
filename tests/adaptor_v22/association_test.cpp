// Association, enabling, the watchdog, disabling and the association check.
#include <gtest/gtest.h>

#include "tests/adaptor_v22/v22_test_support.h"
#include "tests/support/console_capture.h"

namespace {

using halvex::platform::Channel;
using halvex::test::ConsoleCapture;
using namespace v22test;

class Association : public UnitFixture {};

TEST_F(Association, AssocEnableAndWatchdogInThatOrder) {
    startUnit({60});
    auto adaptor = foundAdaptor(false);
    const std::size_t from = mark();
    ConsoleCapture console;
    adaptor->associate();
    EXPECT_TRUE(adaptor->enabled());
    EXPECT_EQ(textsSince(from, 5), (std::vector<std::string>{std::string("[ASSOC]") + kSerial + "@", "[ENABLE]@",
                                                             "[WDT]1@", "[PLETH]0@", "[CO2]0@"}));
    EXPECT_EQ(console.lines(Channel::Out), (std::vector<std::string>{"HX>Enabled", "HX>Watchdog enabled"}));
    EXPECT_TRUE(console.err().empty());
    EXPECT_TRUE(unit->snapshot().enabled);
}

TEST_F(Association, RefusalsAndTheirLines) {
    startUnit({61});
    struct Case {
        const char* what;
        const char* word;
        std::vector<halvex::emulators::unit_v22::Reply> replies;
        bool enabled;
        std::string err;
        std::size_t datagrams;  // sent by associate
    } cases[] = {
        {"ASSOC refused: silent, nothing more sent", "ASSOC", {{"[assoc]refused@"}}, false, "", 1},
        {"ASSOC unanswered", "ASSOC", {}, false, "", 1},
        {"ENABLE refused", "ENABLE", {{"[enable]refused@"}}, false,
         "HX>ERROR>Unable to associate to the HX unit [enable]refused@\n", 2},
        {"ENABLE unanswered", "ENABLE", {}, false, "HX>ERROR>Unable to associate to the HX unit \n", 2},
        {"watchdog refused: enabled all the same", "WDT", {{"[wdt]no@"}}, true,
         "HX>ERROR>Failed to enable watchdog [wdt]no@\n", 5},
    };
    for (const Case& c : cases) {
        unit->clearOverrides();
        auto adaptor = foundAdaptor(false);
        unit->overrideReply(c.word, c.replies);
        const std::size_t from = mark();
        ConsoleCapture console;
        adaptor->associate();
        EXPECT_EQ(adaptor->enabled(), c.enabled) << c.what;
        EXPECT_EQ(console.err(), c.err) << c.what;
        EXPECT_EQ(textsBeforeMarker(*adaptor, from).size(), c.datagrams) << c.what;
        adaptor->disable();
        unit->restart();
    }
}

TEST_F(Association, AssociateAndDisableSendNothingWhenTheyShouldNot) {
    startUnit({62});
    // Not found: nothing at all (there is no transport either).
    auto fresh = makeAdaptor();
    fresh->associate();
    fresh->disable();
    EXPECT_FALSE(fresh->enabled());

    auto adaptor = foundAdaptor(false);
    std::size_t from = mark();
    adaptor->disable();  // not enabled
    EXPECT_EQ(textsBeforeMarker(*adaptor, from), std::vector<std::string>{});

    adaptor->associate();
    ASSERT_TRUE(adaptor->enabled());
    ASSERT_TRUE(unit->waitForCommand("CO2", 1, 5s));  // the end of the watchdog step
    from = mark();
    adaptor->associate();  // already enabled
    EXPECT_EQ(textsBeforeMarker(*adaptor, from), std::vector<std::string>{});
}

TEST_F(Association, DisableClearsEnabledWhateverTheReply) {
    startUnit({63});
    struct Case {
        std::vector<halvex::emulators::unit_v22::Reply> replies;
        std::size_t disabledLines;
    } cases[] = {{{{"[disabled]@"}}, 1}, {{}, 0}, {{{"[disabled]no@"}}, 0}};
    for (const Case& c : cases) {
        unit->clearOverrides();
        auto adaptor = foundAdaptor(true);
        unit->overrideReply("DISABLE", c.replies);
        ConsoleCapture console;
        adaptor->disable();
        EXPECT_FALSE(adaptor->enabled());
        EXPECT_EQ(console.count("HX>Disabled"), c.disabledLines);
        unit->restart();
    }
}

TEST_F(Association, CheckIsTrueUnlessTheUnitOffersItselfAgain) {
    startUnit({64});
    auto adaptor = foundAdaptor(true);
    struct Case {
        const char* what;
        std::vector<halvex::emulators::unit_v22::Reply> replies;
        bool associated;
    } cases[] = {
        {"the associated unit's answer", {{"[id]associated@"}}, true},
        {"silence", {}, true},
        {"the unit offers itself again", {{std::string("Halvex v2.2:") + kSerial + "@"}}, false},
    };
    for (const Case& c : cases) {
        unit->overrideReply("ID", c.replies);
        ConsoleCapture console;
        EXPECT_EQ(adaptor->checkAssociation(), c.associated) << c.what;
        EXPECT_EQ(console.err(), c.associated ? std::string()
                                              : std::string("HX>ERROR>Halvex unit is not associated anymore. Wrong "
                                                            "response to ID request: Halvex v2.2:") +
                                                    kSerial + "@\n")
            << c.what;
    }
}

}  // namespace
