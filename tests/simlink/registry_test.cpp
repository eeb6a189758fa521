// The registry on its own: records, their server ids and the pending counts.
#include <gtest/gtest.h>

#include "simlink/registry.h"

using namespace com_krel;

namespace {

Registry withInputs(std::initializer_list<const char*> ids) {
    Registry r;
    for (const char* id : ids) r.addInput({id, TypeInteger, 0});
    return r;
}

// A server that registers a known parameter again under new ids: the earlier server
// id is dropped each time, so the map holds one id per parameter and an update
// naming an earlier id finds nothing.
TEST(Registry, ARegistrationAgainDropsTheEarlierServerId) {
    Registry r = withInputs({"HR", "RR"});
    EXPECT_EQ(r.pendingInputs(), 2);
    ASSERT_NE(r.bindInput("HR", 10), nullptr);
    ASSERT_NE(r.bindInput("RR", 20), nullptr);
    for (std::uint32_t serverId = 100; serverId < 1100; ++serverId) {
        ASSERT_EQ(r.bindInput("HR", serverId)->serverId, serverId);
        ASSERT_EQ(r.pendingInputs(), 0) << serverId;  // negative once the map outgrows the inputs
    }
    ASSERT_NE(r.inputIdOf(1099), nullptr);
    EXPECT_EQ(*r.inputIdOf(1099), "HR");
    EXPECT_EQ(r.inputIdOf(1098), nullptr);
    EXPECT_EQ(r.inputIdOf(10), nullptr);

    // A server id given to another parameter leaves the first one without any.
    r.bindInput("HR", 20);
    EXPECT_EQ(r.pendingInputs(), 1);
    EXPECT_EQ(*r.inputIdOf(20), "HR");
    EXPECT_EQ(r.input("RR")->serverId, kUnassignedServerId);
    r.bindInput("RR", 21);
    EXPECT_EQ(r.pendingInputs(), 0);

    EXPECT_EQ(r.bindInput("NOPE", 30), nullptr);  // not held: nothing bound
    EXPECT_EQ(r.inputIdOf(30), nullptr);
}

// What the engines do with the whole registry: forget every server id (an SCE ended),
// release the inputs for a subscription anew, remove one, clear.
TEST(Registry, ForgetReleaseRemoveAndClear) {
    Registry r = withInputs({"B", "A", "C"});
    r.addOutput({"O", TypeFloat, 77, true, 5, false});
    EXPECT_EQ(r.outputs().at(0).serverId, kUnassignedServerId);  // a server id handed in is not taken
    r.bindInput("A", 1);
    r.bindInput("B", 2);
    r.bindOutput("O", 3);
    EXPECT_EQ(r.pendingInputs(), 1);
    EXPECT_EQ(r.pendingOutputs(), 0);

    r.forgetServerIds();
    EXPECT_EQ(r.pendingInputs(), 3);
    EXPECT_EQ(r.pendingOutputs(), 1);
    EXPECT_EQ(r.inputIdOf(1), nullptr);
    EXPECT_EQ(r.input("A")->serverId, kUnassignedServerId);
    EXPECT_EQ(r.outputs().at(0).serverId, kUnassignedServerId);

    // A record removed takes its binding along, also after a rebinding.
    r.bindInput("A", 4);
    r.bindInput("A", 5);
    const auto found = r.inputsAmong({"C", "NOPE", "A"});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].id, "C");
    EXPECT_EQ(found[1].serverId, 5u);
    r.removeInput("A");
    EXPECT_FALSE(r.holdsInput("A"));
    EXPECT_EQ(r.inputIdOf(5), nullptr);
    EXPECT_EQ(r.pendingInputs(), 2);

    r.bindInput("B", 6);
    const auto released = r.releaseInputs();
    ASSERT_EQ(released.size(), 2u);
    EXPECT_EQ(released[0].id, "B");  // in id order
    EXPECT_EQ(r.inputCount(), 0u);
    EXPECT_EQ(r.inputIdOf(6), nullptr);
    EXPECT_EQ(r.pendingInputs(), 0);

    r.clear();
    EXPECT_EQ(r.outputCount(), 0u);
    EXPECT_EQ(r.pendingOutputs(), 0);
}

}  // namespace
