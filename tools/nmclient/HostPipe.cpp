#include "tools/nmclient/HostPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

extern char** environ;

namespace tessora {

namespace {

constexpr size_t kChunk = 65536;

uint32_t LengthAt(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<std::string> EditedEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const std::string& change : changes) {
        const size_t eq = change.find('=');
        const std::string name = change.substr(0, eq);
        std::erase_if(env, [&](const std::string& entry) {
            return entry.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (eq != std::string::npos) env.push_back(change);
    }
    return env;
}

}  // namespace

long long MonotonicMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string EncodeFrame(std::string_view body) {
    const auto n = static_cast<uint32_t>(body.size());
    std::string frame;
    frame.reserve(body.size() + 4);
    for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>(n >> shift));
    frame.append(body);
    return frame;
}

bool DecodeFrames(std::string_view bytes, std::vector<std::string>* bodies) {
    while (bytes.size() >= 4) {
        const uint32_t n = LengthAt(bytes);
        if (n == 0xFFFFFFFFu || bytes.size() - 4 < n) return false;
        bodies->emplace_back(bytes.substr(4, n));
        bytes.remove_prefix(4 + static_cast<size_t>(n));
    }
    return bytes.empty();
}

HostPipe::~HostPipe() {
    CloseFd(&in_fd_);
    CloseFd(&out_fd_);
    CloseFd(&err_fd_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void HostPipe::CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

bool HostPipe::Start(const std::string& program, const std::vector<std::string>& env_changes) {
    // A host that stops reading must show as a failed write here, not kill the caller.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]), close(in[1]);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> env = EditedEnvironment(env_changes);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]), close(out[1]), close(err[1]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        CloseFd(&in_fd_);
        CloseFd(&out_fd_);
        CloseFd(&err_fd_);
        return false;
    }
    // Only our ends are non-blocking; the host sees ordinary blocking pipes, as from a browser.
    for (int fd : {in_fd_, out_fd_, err_fd_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool HostPipe::Pump(long long deadline_ms) {
    const long long now = MonotonicMs();
    if (now >= deadline_ms) return false;
    struct pollfd fds[3];
    nfds_t count = 0;
    if (in_fd_ >= 0 && !pending_input_.empty()) fds[count++] = {in_fd_, POLLOUT, 0};
    if (out_fd_ >= 0) fds[count++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[count++] = {err_fd_, POLLIN, 0};
    if (count == 0) return true;
    const int ready = poll(fds, count, static_cast<int>(deadline_ms - now));
    if (ready < 0 && errno != EINTR) return false;
    char buffer[kChunk];
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == in_fd_) {
            const ssize_t n = write(in_fd_, pending_input_.data(), pending_input_.size());
            if (n > 0) {
                pending_input_.erase(0, static_cast<size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                CloseFd(&in_fd_);  // the host no longer reads
            }
            continue;
        }
        int* fd = fds[i].fd == out_fd_ ? &out_fd_ : &err_fd_;
        std::string& sink = fd == &out_fd_ ? output_ : errors_;
        const ssize_t n = read(*fd, buffer, sizeof buffer);
        if (n > 0) {
            sink.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            CloseFd(fd);
        }
    }
    return true;
}

bool HostPipe::Write(std::string_view bytes, int timeout_ms) {
    const long long deadline = MonotonicMs() + timeout_ms;
    pending_input_.append(bytes);
    while (!pending_input_.empty()) {
        if (in_fd_ < 0 || !Pump(deadline)) {
            pending_input_.clear();
            return false;
        }
    }
    return true;
}

HostPipe::ReadStatus HostPipe::ReadFrame(std::string* body, int timeout_ms) {
    const long long deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        if (output_.size() >= 4) {
            const uint32_t n = LengthAt(output_);
            if (n == 0xFFFFFFFFu) {
                output_.erase(0, 4);
                return ReadStatus::kSentinel;
            }
            if (output_.size() - 4 >= n) {
                body->assign(output_, 4, n);
                output_.erase(0, 4 + static_cast<size_t>(n));
                return ReadStatus::kFrame;
            }
        }
        if (out_fd_ < 0) return ReadStatus::kEnd;
        if (!Pump(deadline)) return ReadStatus::kTimeout;
    }
}

void HostPipe::CloseInput() {
    pending_input_.clear();
    CloseFd(&in_fd_);
}

int HostPipe::Finish(int timeout_ms) {
    const long long deadline = MonotonicMs() + timeout_ms;
    CloseInput();
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        if (!Pump(deadline)) break;
    }
    int status = 0;
    // A pidfd becomes readable when the process exits, so the wait costs no polling delay.
    const int pidfd = pid_ > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)) : -1;
    while (pid_ > 0) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            break;
        }
        const long long now = MonotonicMs();
        if ((done < 0 && errno != EINTR) || now >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            if (pidfd >= 0) close(pidfd);
            return -1;
        }
        if (pidfd >= 0) {
            struct pollfd pfd {
                pidfd, POLLIN, 0
            };
            poll(&pfd, 1, static_cast<int>(deadline - now));
        } else {
            struct timespec pause {
                0, 200000
            };
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0) close(pidfd);
    if (out_fd_ >= 0 || err_fd_ >= 0) return -1;  // output still open at the deadline
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace tessora
