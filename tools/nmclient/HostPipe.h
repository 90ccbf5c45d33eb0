// The browser's side of native messaging: starts a host program with pipes on its standard
// input, output and error, writes request frames and reads response frames. Every wait has a
// deadline, so a host that misbehaves can never hang its caller. Used by tessora-nmclient, the
// host-level tests and the benchmark.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace tessora {

// A frame: the 32-bit little-endian length, then the bytes.
std::string EncodeFrame(std::string_view body);
// Splits a byte stream into frame bodies. False when bytes are left that are no whole frame
// (the sentinel FF FF FF FF counts as such a rest).
bool DecodeFrames(std::string_view bytes, std::vector<std::string>* bodies);

class HostPipe {
  public:
    enum class ReadStatus {
        kFrame,     // a whole frame was read
        kSentinel,  // the host wrote FF FF FF FF (a response too long to send)
        kEnd,       // the host closed its output before a whole frame arrived
        kTimeout,
    };

    HostPipe() = default;
    ~HostPipe();  // kills and reaps a host that is still running
    HostPipe(const HostPipe&) = delete;
    HostPipe& operator=(const HostPipe&) = delete;

    // Starts `program` without arguments. `env_changes` edit the inherited environment:
    // "NAME=VALUE" sets a variable, "NAME" removes it.
    bool Start(const std::string& program, const std::vector<std::string>& env_changes = {});

    // Writes all of `bytes` to the host's input, collecting its output meanwhile so that two
    // full pipes never block each other. False on timeout or when the host stopped reading.
    bool Write(std::string_view bytes, int timeout_ms);
    bool WriteFrame(std::string_view body, int timeout_ms) {
        return Write(EncodeFrame(body), timeout_ms);
    }
    ReadStatus ReadFrame(std::string* body, int timeout_ms);

    void CloseInput();
    // Stops reading the host's output, as a browser that went away: its next write fails.
    void CloseOutput() { CloseFd(&out_fd_); }
    // Closes the input, reads output and error to their end and waits for the host to exit.
    // Returns its exit status (0-255), 128 + the signal number when a signal ended it, or -1 on
    // timeout (the host is then killed).
    int Finish(int timeout_ms);

    // Output bytes received but not yet taken by ReadFrame, and everything written to stderr.
    const std::string& output() const { return output_; }
    const std::string& errors() const { return errors_; }
    pid_t pid() const { return pid_; }

  private:
    // Waits at most until `deadline_ms` (a monotonic time) for any pipe to move, then moves
    // what it can. False once the deadline has passed.
    bool Pump(long long deadline_ms);
    void CloseFd(int* fd);

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string pending_input_;
    std::string output_;
    std::string errors_;
};

// Milliseconds of the monotonic clock.
long long MonotonicMs();

}  // namespace tessora
