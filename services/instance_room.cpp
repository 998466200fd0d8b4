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

void RetireInstanceRooms(const DriverContext& ctx, uint32_t number,
                         void (*release)(InstanceRoom& room)) {
    g_rooms.Retire(ctx, number, release);
}

bool PortOfContext(const DriverContext& ctx) {
    const InstanceRoom* room = g_rooms.Find(ctx);
    return ctx.hf != 0 && room != nullptr && room->port == ctx.hf;
}

void ForEachInstanceRoom(void (*f)(InstanceRoom& room)) {
    g_rooms.ForEach(f);
}

void ReleaseInstanceRooms() {
    g_rooms.ReleaseAll();
}

} // namespace merix
