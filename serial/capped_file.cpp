#include "serial/capped_file.h"

#include <cstring>

#include "platform/trace_file.h"

namespace merix {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

} // namespace

bool CappedFile::Name(const char* path, int maxMiB) {
    maxBytes_ = static_cast<uint64_t>(maxMiB > 0 ? maxMiB : 1) * kMiB;
    return plat::AbsolutePath(path, path_, sizeof path_) &&
           std::snprintf(older_, sizeof older_, "%s.1", path_) < static_cast<int>(sizeof older_);
}

// Appending, and binary: the size the cap counts is the size on disk, on Windows too (text
// mode would add a CR to every line behind the count's back).
bool CappedFile::Open() {
    file_ = plat::OpenRegularFile(path_);
    if (file_ == nullptr) {
        return false;
    }
    // The file's own buffer: stdio would otherwise allocate one at the first write.
    std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
    std::fseek(file_, 0, SEEK_END);
    const long size = std::ftell(file_);
    bytes_ = size > 0 ? static_cast<uint64_t>(size) : 0;
    return true;
}

// A closed file takes nothing: a caller that missed a failed open or rename gets its failure
// again, not a write through a null stream.
bool CappedFile::Write(const void* data, std::size_t size) {
    if (file_ == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, file_) == size;
    bytes_ += size;
    return ok;
}

bool CappedFile::Flush() {
    return file_ != nullptr && std::fflush(file_) == 0;
}

bool CappedFile::Close() {
    if (file_ == nullptr) {
        return true;
    }
    const bool flushed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed;
}

bool CappedFile::MoveToOlder() {
    return plat::RenameOver(path_, older_);
}

} // namespace merix
