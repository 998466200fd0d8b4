#include "services/instance_room.h"

#include <cstring>

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

std::string_view LinePortName(const DriverContext& ctx) {
    if (const InstanceRoom* room = g_rooms.Find(ctx);
        room != nullptr && room->settings.port[0] != '\0') {
        return room->settings.port;
    }
    const char* name = ctx.portParams.portName;
    const void* end = std::memchr(name, '\0', sizeof ctx.portParams.portName);
    return {name, end == nullptr ? sizeof ctx.portParams.portName
                                 : static_cast<std::size_t>(static_cast<const char*>(end) - name)};
}

void ForEachInstanceRoom(void (*f)(InstanceRoom& room)) {
    g_rooms.ForEach(f);
}

void ReleaseInstanceRooms() {
    g_rooms.ReleaseAll();
}

} // namespace merix
