// A test's own working directory, where ColdStart looks for the instance's ini file.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace merix::test {

/// A fresh working directory, where ColdStart looks for the instance's ini file, left and removed
/// however the test ends, so that a failed assertion leaves no ini file to the tests after it.
class WorkIn {
public:
    explicit WorkIn(const std::string& name)
        : dir_(std::filesystem::temp_directory_path() / (name + std::to_string(getpid()))),
          previous_(std::filesystem::current_path()) {
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    ~WorkIn() {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    WorkIn(const WorkIn&) = delete;
    WorkIn& operator=(const WorkIn&) = delete;

private:
    std::filesystem::path dir_;
    std::filesystem::path previous_;
};

} // namespace merix::test
