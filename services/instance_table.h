// Memory kept per driver instance outside the host's context record, whose layout is fixed.
//
// A host runs one instance per line, and a machine with multi-port cards runs dozens; the
// initialisation files alone name instances 00 to 99. Every one of them gets its room, and
// none is ever dropped for another. Room is found at ColdStart, never on a transaction's
// path, which only looks it up. An instance that gets none goes on without what the room
// would have held.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "merix/vpi.h"

namespace merix {

/// Instances served at once: every number the initialisation files can name, and room for a
/// host that starts some of them again in new contexts.
inline constexpr int kMaxInstances = 128;

/// A `Room` for each instance, keyed by the address of its context.
template <typename Room> class InstanceTable {
public:
    /// The room of `ctx` in its starting state, made at the first call; nullptr when none can
    /// be had (memory, or every entry taken by another live instance).
    Room* Claim(const DriverContext& ctx) {
        Entry* entry = ReusedEntry(ctx, ctx.vpiNumber);
        if (entry == nullptr) {
            entry = FreeEntry(ctx);
        }
        if (entry == nullptr) {
            return nullptr;
        }
        if (!entry->room) {
            entry->room.reset(new (std::nothrow) Room{});
            if (!entry->room) {
                entry->owner = nullptr;
                return nullptr;
            }
        } else {
            // Afresh in place: the memory is had already, and a room need not be assignable.
            std::destroy_at(entry->room.get());
            std::construct_at(entry->room.get());
        }
        entry->owner = &ctx;
        entry->vpiNumber = ctx.vpiNumber;
        return entry->room.get();
    }

    /// The room of `ctx`, or nullptr when it has none. Never allocates.
    Room* Find(const DriverContext& ctx) const {
        const Entry* entry = FindEntry(ctx);
        return entry != nullptr ? entry->room.get() : nullptr;
    }

    /// The room that a Claim of `ctx` as instance `number` would start afresh: the one of
    /// this context, or else the one of an earlier context that carried the number. nullptr
    /// when the claim would take a free entry.
    Room* Reused(const DriverContext& ctx, uint32_t number) {
        Entry* entry = ReusedEntry(ctx, number);
        return entry != nullptr ? entry->room.get() : nullptr;
    }

    /// Calls `f(room)` for every instance that has a room.
    template <typename F> void ForEach(F&& f) {
        for (Entry& e : entries_) {
            if (e.owner != nullptr && e.room) {
                f(*e.room);
            }
        }
    }

    /// Gives every room back: the library is stopped for good (or a test loads it afresh).
    void ReleaseAll() {
        for (Entry& e : entries_) {
            e = Entry{};
        }
    }

private:
    struct Entry {
        const DriverContext* owner = nullptr; // compared, never followed
        uint32_t vpiNumber = 0;
        std::unique_ptr<Room> room;
    };

    Entry* FindEntry(const DriverContext& ctx) {
        return const_cast<Entry*>(std::as_const(*this).FindEntry(ctx));
    }
    // An instance first tries the entry of its own number, so that a look-up on the
    // transaction path usually ends at once.
    static int Home(const DriverContext& ctx) {
        return static_cast<int>(ctx.vpiNumber % kMaxInstances);
    }

    const Entry* FindEntry(const DriverContext& ctx) const {
        if (entries_[Home(ctx)].owner == &ctx) {
            return &entries_[Home(ctx)];
        }
        for (const Entry& e : entries_) {
            if (e.owner == &ctx) {
                return &e;
            }
        }
        return nullptr;
    }

    /// The entry of `ctx`, or else one whose instance number `ctx` now carries: the host
    /// started that instance again in a new context, and the old one is gone. Its room is
    /// taken over, so that nothing the old context held (a file, a port) stays held by a room
    /// that no live context will ever claim again.
    Entry* ReusedEntry(const DriverContext& ctx, uint32_t number) {
        if (Entry* entry = FindEntry(ctx)) {
            return entry;
        }
        for (Entry& e : entries_) {
            if (e.owner != nullptr && e.vpiNumber == number) {
                return &e;
            }
        }
        return nullptr;
    }

    /// A free entry for a new instance, its own number's first.
    Entry* FreeEntry(const DriverContext& ctx) {
        if (entries_[Home(ctx)].owner == nullptr) {
            return &entries_[Home(ctx)];
        }
        for (Entry& e : entries_) {
            if (e.owner == nullptr) {
                return &e;
            }
        }
        return nullptr;
    }

    Entry entries_[kMaxInstances];
};

} // namespace merix
