// The file of the line trace and of the line capture: a size cap, and when it is full, the file
// becomes the one older file kept ("<name>.1") and a new one begins. It writes through a buffer
// of its own, so nothing allocates once it is open, and it never truncates or writes over a
// file: a rename that fails leaves the full file as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace merix {

class CappedFile {
public:
    CappedFile() = default;
    CappedFile(const CappedFile&) = delete;
    CappedFile& operator=(const CappedFile&) = delete;
    ~CappedFile() { (void)Close(); }

    /// Names the file: `path` made absolute now (the host may change its directory later),
    /// and its older file. False when it cannot be resolved or the names do not fit.
    bool Name(const char* path, int maxMiB);
    const char* Path() const { return path_; }
    const char* Older() const { return older_; }

    /// Opens the named file for appending, binary: the bytes it holds count towards the cap.
    bool Open();
    /// The bytes in the file, those still buffered included.
    uint64_t Size() const { return bytes_; }
    /// True when `size` more bytes would pass the cap.
    bool Full(std::size_t size) const { return bytes_ + size > maxBytes_; }

    /// Writes `size` bytes; false when they could not all be handed to the file.
    bool Write(const void* data, std::size_t size);
    bool Flush();
    /// Closes the file; false when what was buffered could not be written.
    bool Close();
    /// Makes the named file, closed, the older file, replacing the one there.
    bool MoveToOlder();

private:
    std::FILE* file_ = nullptr;
    char path_[1024] = {};
    char older_[sizeof path_ + 2] = {};
    uint64_t maxBytes_ = 0;
    uint64_t bytes_ = 0;
    char buffer_[8192] = {};
};

} // namespace merix
