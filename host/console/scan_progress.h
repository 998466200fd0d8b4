// How far the search for stations is: a bar redrawn in place on a terminal, plain lines
// otherwise (--plain, or output to a file or a pipe), as the live table decides.
#pragma once

#include <cstddef>
#include <string>

namespace merixhost {

class ScanProgress {
public:
    ScanProgress(bool ansi, size_t total) : ansi_(ansi), total_(total) {}
    ~ScanProgress() { Finish(); }
    ScanProgress(const ScanProgress&) = delete;
    ScanProgress& operator=(const ScanProgress&) = delete;

    /// Before each read: `station` at the setting `line` ("19200 8E1").
    void Step(const std::string& line, int station);
    /// A line of its own, above the bar.
    void Note(const std::string& text);
    /// Takes the bar off the screen.
    void Finish();

    /// "[######------]  12/62": the bar of `done` of `total` in `width` characters.
    static std::string Bar(size_t done, size_t total, size_t width);

private:
    bool ansi_;
    size_t total_;
    size_t done_ = 0;
    std::string line_;
    bool drawn_ = false;
};

} // namespace merixhost
