// The unit goes silent at each step of the identification and the association: on
// the request of that step, without answering it or changing its state. The step
// fails within its bounded wait, and once the unit answers again the recovery the
// supervision loop makes (disable, associate) takes the unit and drives it again.

#include <gtest/gtest.h>

#include <string>

#include "tests/adaptor_v22/v22_test_support.h"

namespace v22test {
namespace {

struct Step {
    const char* word;
    int block;  // addresses of the case's own
};

class StepFault : public UnitFixture, public testing::WithParamInterface<Step> {};

TEST_P(StepFault, SilenceAtTheStepIsSurvived) {
    const Step step = GetParam();
    startUnit(Block{step.block});
    auto options = optionsFor(net_);
    // A silent identification costs its whole budget: keep it short.
    options.discovery.attempts = 2;
    options.discovery.fixedBudget = 2;
    auto adaptor = makeAdaptor(options);
    unit->overrideReply(step.word, {});

    const bool found = adaptor->initialize(kSerial, net_.unit(), "", "", false);
    if (std::string(step.word) == "ID") {
        EXPECT_FALSE(found) << "identification without an answer";
    } else {
        ASSERT_TRUE(found);
        adaptor->associate();
        // Without the ASSOC or ENABLE answer the unit is not taken; without the WDT
        // answer it is, with its error line.
        EXPECT_EQ(adaptor->enabled(), std::string(step.word) == "WDT");
    }

    unit->clearOverrides();
    if (!found) {
        ASSERT_TRUE(adaptor->initialize(kSerial, net_.unit(), "", "", false));
    }
    adaptor->disable();
    adaptor->associate();
    ASSERT_TRUE(adaptor->enabled());
    EXPECT_TRUE(unit->snapshot().enabled);
    EXPECT_TRUE(adaptor->checkAssociation());

    // Driven again: a batch reaches the unit.
    const std::size_t from = mark();
    adaptor->beginBatch();
    adaptor->sendHeartRate(88);
    adaptor->flushBatch();
    EXPECT_EQ(textsBeforeMarker(*adaptor, from), (std::vector<std::string>{"[HR]88@"}));
    EXPECT_EQ(adaptor->overlappingCalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Association, StepFault,
                         testing::Values(Step{"ID", 74}, Step{"ASSOC", 75}, Step{"ENABLE", 76}, Step{"WDT", 77}),
                         [](const testing::TestParamInfo<Step>& step) { return std::string(step.param.word); });

}  // namespace
}  // namespace v22test
