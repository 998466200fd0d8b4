#include "driver/command_table.h"

namespace merix {

const std::array<CommandSlot, kCommandSlots>& CommandTable() {
    static constexpr std::array<CommandSlot, kCommandSlots> table{{
        {ColdStart, "ColdStart"},
        {WarmStart, "WarmStart"},
        {SingleAddressParser, "SingleAddressParser"},
        {BlockAddressParser, "BlockAddressParser"},
        {SingleRead, "SingleRead"},
        {BlockRead, "BlockRead"},
        {SingleWrite, "SingleWrite"},
        {nullptr, ""},
        {nullptr, ""},
        {BlockWrite, "BlockWrite"},
        {EndVpi, "EndVpi"},
        {CloseCom, "CloseCom"},
        {ReOpenCom, "ReOpenCom"},
        {GetVpiInfo, "GetVpiInfo"},
        {ChangeVpiParams, "ChangeVpiParams"},
        {nullptr, ""},
    }};
    return table;
}

} // namespace merix
