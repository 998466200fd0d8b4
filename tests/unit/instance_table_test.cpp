// Room per instance outside the context: every instance gets its own, none is dropped for
// another, and a host that starts an instance again in a new context gets its old room.
#include <vector>

#include "services/instance_table.h"
#include "test_support.h"

namespace merix::test {
namespace {

int g_rooms = 0; // rooms alive

struct Room {
    Room() { ++g_rooms; }
    ~Room() { --g_rooms; }
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;
    int value = 0;
};

TEST(InstanceTableTest, EveryInstanceKeepsItsRoomAndARestartedOneTakesItsOld) {
    std::vector<DriverContext> contexts(kMaxInstances + 2);
    for (size_t i = 0; i < contexts.size(); ++i) {
        contexts[i].vpiNumber = static_cast<uint32_t>(i + 1);
    }
    {
        InstanceTable<Room> table;
        for (int i = 0; i < kMaxInstances; ++i) {
            Room* room = table.Claim(contexts[i]);
            ASSERT_NE(room, nullptr) << "instance " << i + 1;
            room->value = i + 1;
        }
        for (int i = 0; i < kMaxInstances; ++i) {
            ASSERT_NE(table.Find(contexts[i]), nullptr);
            EXPECT_EQ(table.Find(contexts[i])->value, i + 1) << "nothing dropped for another";
        }
        EXPECT_EQ(table.Claim(contexts[kMaxInstances]), nullptr) << "a new number, no room";
        EXPECT_EQ(table.Find(contexts[kMaxInstances]), nullptr);

        // Instance 5 started again in a new context: the old one is gone with its room.
        DriverContext& again = contexts[kMaxInstances + 1];
        again.vpiNumber = 5;
        Room* room = table.Claim(again);
        ASSERT_NE(room, nullptr);
        EXPECT_EQ(room->value, 0) << "in its starting state";
        EXPECT_EQ(table.Find(contexts[4]), nullptr);
        EXPECT_EQ(g_rooms, kMaxInstances) << "the old room was destroyed, not leaked";

        room->value = 7;
        EXPECT_EQ(table.Claim(again)->value, 0) << "a second ColdStart starts afresh";
    }
    EXPECT_EQ(g_rooms, 0);
}

} // namespace
} // namespace merix::test
