// The write journal (JOURNAL = <file>): one line for every write into a controller, coil,
// register or clock broadcast, as it ends, made, refused or failed. Appended and flushed before
// the write's result goes back to the host; never truncated, never rotated. A line that wants a
// journal and cannot write it makes no write at all: no write goes unrecorded.
//
// The file is opened at ColdStart and lives outside the host's context record, in a small
// table keyed by the context's address, as the line trace's does; nothing allocates on a
// write's path.
#pragma once

#include <cstdint>
#include <string_view>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "services/instance_settings.h"

namespace merix {

/// Ends the journal held at `ctx`'s address, whatever instance it was, and one an earlier
/// context of its instance left open; then opens the journal `settings` name, appending. A
/// JOURNAL line that named no usable file, or a file that cannot be opened and written, gets
/// one level-32 line: the instance then writes nothing.
void StartWriteJournal(const DriverContext& ctx, const InstanceSettings& settings);

/// Closes every journal: the library is stopped for good.
void StopAllWriteJournals();

/// True when a write of `ctx` may go out as far as its journal goes: no JOURNAL line, or a
/// journal open whose every line so far was written.
bool JournalTakesWrites(const DriverContext& ctx, const InstanceSettings& settings);

/// One write into a controller, as its journal line tells it.
struct JournalRecord {
    const char* gate = ""; ///< the host's text; the journal bounds it and cleans it
    int32_t station = 0;   ///< as the host gave it
    int32_t function = 0;  ///< on the line: 5 a coil, 6 a register, 0x46 the clock
    int32_t address = -1;  ///< as the host gave it; below 0: none (the clock)
    int16_t value = 0;     ///< the host's value
    uint16_t word = 0;     ///< the value as the request carries it
    const plat::LocalTime* clock = nullptr; ///< the clock broadcast's time, or nullptr
    int attempts = 0;                       ///< requests that went out, or tried to
    const int16_t* read = nullptr;          ///< VERIFY's value read back, or nullptr
    int32_t result = 0;                     ///< the host's result code
    std::string_view why;
};

/// Appends the line of `record` to the journal of `ctx`, stamped with the local time now, and
/// flushes it. True when it is on record or the instance keeps no journal. A line that cannot be
/// written ends the journal, so that every later write is refused, and goes to the log at level
/// 32 instead, whole: the write it tells of may have been made already.
bool JournalWrite(const DriverContext& ctx, const InstanceSettings& settings,
                  const JournalRecord& record);

} // namespace merix
