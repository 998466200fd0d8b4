#include "services/instance_room.h"

#include "services/instance_table.h"

namespace merix {

namespace {
InstanceTable<InstanceRoom> g_rooms;
} // namespace

InstanceRoom* ClaimInstanceRoom(const DriverContext& ctx) {
    InstanceRoom* room = g_rooms.Claim(ctx);
    if (room != nullptr) {
        room->vpiNumber = ctx.vpiNumber;
    }
    return room;
}

InstanceRoom* FindInstanceRoom(const DriverContext& ctx) {
    return g_rooms.Find(ctx);
}

InstanceRoom* EarlierInstanceRoom(const DriverContext& ctx, uint32_t number) {
    return g_rooms.Reused(ctx, number);
}

void ForEachInstanceRoom(void (*f)(InstanceRoom& room)) {
    g_rooms.ForEach(f);
}

void ReleaseInstanceRooms() {
    g_rooms.ReleaseAll();
}

} // namespace merix
