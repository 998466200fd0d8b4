// Frames put into words, for the people who read a line trace: station, function, fields,
// values, event records, exception code and CRC verdict. The driver's trace and the
// simulator's share it, so both ends of a line describe a frame alike. Nothing here allocates:
// text goes into a fixed buffer, cut short where it does not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "serial/function_table.h"

namespace merix {

/// Text appended to a fixed buffer, always NUL-terminated. What does not fit is dropped.
class TextBuffer {
public:
    TextBuffer(char* data, std::size_t capacity) : data_(data), capacity_(capacity) { Clear(); }

    void Clear();
    void Append(std::string_view text);
    /// printf-style formatting onto the end of the text. Only conversions that every C
    /// runtime the driver meets knows (no %zu, no %lld): msvcrt is one of them.
    [[gnu::format(printf, 2, 3)]] void Printf(const char* format, ...);

    std::string_view View() const { return {data_, size_}; }
    std::size_t Size() const { return size_; }
    /// Cuts the text back to `size` characters (no-op when it is shorter).
    void Truncate(std::size_t size);

private:
    char* data_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

/// A TextBuffer with its storage.
template <std::size_t N> class FixedText : public TextBuffer {
public:
    FixedText() : TextBuffer(storage_, N) {}
    FixedText(const FixedText&) = delete;
    FixedText& operator=(const FixedText&) = delete;

private:
    char storage_[N];
};

/// "read registers", "event next block", ... (the exception bit is ignored).
std::string_view FunctionName(uint8_t function);

/// Bytes as "01 03 00 64"; longer runs are cut with " ..." after `limit` bytes.
void AppendHex(TextBuffer& out, std::span<const uint8_t> bytes, std::size_t limit = 64);

/// "st 1 fn 03 read registers addr 100 count 10 | CRC ok"
void DescribeRequest(TextBuffer& out, std::span<const uint8_t> frame);

/// "st 1 fn 03 read registers 4 bytes: 1 2 | CRC ok"
void DescribeReply(TextBuffer& out, std::span<const uint8_t> frame);

} // namespace merix
