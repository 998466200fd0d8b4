#include "serial/function_table.h"

#include "serial/protocol.h"

namespace merix {

namespace {

RequestLength LengthOf(uint8_t code) {
    if (const FunctionRow* row = FindFunction(code)) {
        // The counted layouts carry their byte count right behind the function.
        return {FixedRequestData(row->request), 2};
    }
    for (const ForeignFunction& foreign : kForeignFunctions) {
        if (foreign.code == code) {
            return foreign.length;
        }
    }
    return {-1, 0};
}

} // namespace

RequestFields DecodeRequestFields(const FunctionRow& row, std::span<const uint8_t> data) {
    RequestFields f;
    switch (row.request) {
    case RequestLayout::kAddressCount:
        f.address = Word(data, 0);
        f.count = Word(data, 2);
        break;
    case RequestLayout::kAddressValue:
        f.address = Word(data, 0);
        f.value = Word(data, 2);
        break;
    case RequestLayout::kEventSetUp:
        f.byteCount = data[0];
        // The count is the last word of the field, whatever the field's length.
        if (data.size() >= 3) {
            f.eventCount = Word(data, data.size() - 2);
        }
        break;
    case RequestLayout::kClock:
        f.byteCount = data[0];
        for (std::size_t i = 0; i < f.time.size() && i + 1 < data.size(); ++i) {
            f.time[i] = data[i + 1];
        }
        break;
    case RequestLayout::kEmpty:
        break;
    }
    return f;
}

std::optional<std::size_t> ExpectedRequestLength(std::span<const uint8_t> head) {
    if (head.size() < 2) {
        return std::nullopt;
    }
    const RequestLength length = LengthOf(head[1]);
    if (length.fixedData >= 0) {
        return 4 + static_cast<std::size_t>(length.fixedData);
    }
    if (length.countAt == 0 || head.size() <= length.countAt) {
        return std::nullopt;
    }
    return length.countAt + 1 + head[length.countAt] + 2;
}

std::optional<std::size_t> ExpectedReplyLength(uint8_t function, std::span<const uint8_t> head) {
    const FunctionRow* row = FindFunction(function);
    if (row == nullptr || row->reply == ReplyLayout::kNone || head.size() < 2) {
        return std::nullopt;
    }
    if ((head[1] & kExceptionBit) != 0) {
        return kExceptionReplyLength;
    }
    if (row->reply == ReplyLayout::kEcho) {
        return kEchoReplyLength;
    }
    if (head.size() < 3) {
        return std::nullopt;
    }
    return kReplyOverhead + head[2];
}

} // namespace merix
