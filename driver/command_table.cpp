#include "driver/command_table.h"

namespace merix {

const std::array<CommandSlot, kCommandSlots>& CommandTable() {
    static constexpr std::array<CommandSlot, kCommandSlots> table{{
        {ColdStart, "ColdStart", ContextUse::kOwn, true},
        {WarmStart, "WarmStart", ContextUse::kOwn, true, true},
        {SingleAddressParser, "SingleAddressParser", ContextUse::kOwn, true},
        {BlockAddressParser, "BlockAddressParser", ContextUse::kOwn, true},
        {SingleRead, "SingleRead", ContextUse::kLine, true},
        {BlockRead, "BlockRead", ContextUse::kLine, true},
        {SingleWrite, "SingleWrite", ContextUse::kLine, true},
        {nullptr, ""},
        {nullptr, ""},
        {BlockWrite, "BlockWrite", ContextUse::kOwn}, // refused whatever it is given
        {EndVpi, "EndVpi", ContextUse::kOptional, false, true},
        {CloseCom, "CloseCom", ContextUse::kOwn, false, true},
        {ReOpenCom, "ReOpenCom", ContextUse::kOwn, false, true},
        {GetVpiInfo, "GetVpiInfo", ContextUse::kNone, true},
        {ChangeVpiParams, "ChangeVpiParams", ContextUse::kOwn, true, true},
        {nullptr, ""},
    }};
    return table;
}

} // namespace merix
