// Runs merixhost as a child process with its output in a file, and waits for it with a
// deadline (a pidfd, so no polling loop).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace merixhost::test {

class ChildProcess {
public:
    /// Starts `argv` with stdout and stderr going to `outputPath` and stdin from /dev/null.
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath) {
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0) {
                _exit(126);
            }
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        pidfd_ = pid_ > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)) : -1;
    }
    ~ChildProcess() {
        if (!status_ && pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(10));
        }
        if (pidfd_ >= 0) {
            close(pidfd_);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int signal) const {
        if (pid_ > 0 && !status_) {
            kill(pid_, signal);
        }
    }
    /// The exit status when the child ends within `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (status_ || pid_ <= 0) {
            return status_;
        }
        if (pidfd_ >= 0) {
            pollfd pfd{pidfd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
                return std::nullopt;
            }
        }
        int raw = 0;
        if (waitpid(pid_, &raw, 0) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
    // merixhost quotes only names and values with commas; the tests use none.
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(ReadText(path));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::string field;
        std::istringstream cells(line);
        while (std::getline(cells, field, ',')) {
            fields.push_back(field);
        }
        if (!line.empty() && line.back() == ',') {
            fields.emplace_back();
        }
        rows.push_back(std::move(fields));
    }
    return rows;
}

} // namespace merixhost::test
