// The trace provider: four enable flags, switched from outside the process through a per-user
// control file (written by tessora-trace), and a sink that is the system log or a file. Nothing is
// ever written to standard output or standard error. While a flag is off an event costs one test
// and nothing is formatted: every macro below tests the flag before it evaluates its arguments.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace trace {

enum Flag : uint32_t {
    kFlagError = 1,      // narrow failed step lines and error events
    kFlagWideError = 2,  // wide failed step lines with a negative code
    kFlagInfo = 4,       // OK step lines, traced values, narrow scope entry and exit
    kFlagScope = 8,      // entry and exit of TraceHelper scopes
};

extern std::atomic<uint32_t> g_enable_flags;

inline bool IsEnabled(uint32_t flag) {
    return (g_enable_flags.load(std::memory_order_relaxed) & flag) != 0;
}

// Start: remember the syslog ident and read the control file. Stop: close the sink, flags off.
void Start(const char* ident);
void Stop();
// Re-reads the control file when it changed since the last look (one stat() otherwise).
void RefreshControl();

// Where the control file lives: $XDG_RUNTIME_DIR/tessora/trace.conf, else
// ${XDG_CACHE_HOME:-$HOME/.cache}/tessora/trace.conf.
std::string ControlFilePath();

// What a control file says: the flags, and the sink file (empty for the system log).
struct ControlSettings {
    uint32_t flags = 0;
    std::string sink_file;
};
ControlSettings ParseControlText(const std::string& text);
// The settings of the control file at path; all off when there is none.
ControlSettings ReadControlFile(const std::string& path);

// Low-level senders; call them only behind IsEnabled (the macros do).
void Emit(const std::string& text);
void EmitFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "int CCryptoAgent::Foo(const char16_t*)" -> "CCryptoAgent::Foo"
std::string FunctionName(const char* pretty_function);
// UTF-16 text for a trace argument: "NULL" for null, "<NULL>" for empty.
std::string Text(const char16_t* text);
std::string Text(const char* text);

void StepOkA(const char* unit, int line, const char* function, const char* step);
void StepFailedA(const char* unit, int line, const char* function, const char* step, int32_t code,
                 const char* reason);
void StepFailedOpenSslA(const char* unit, int line, const char* function, const char* step,
                        int32_t code, const char* reason);
void StepOkW(const char* function, const char* step);
void StepFailedW(const char* unit, int line, const char* function, const char* step, int32_t code,
                 const char* reason);

// Scope tracer of the wide-text modules: flag 8, keeps the thread's last error.
class TraceHelper {
  public:
    explicit TraceHelper(const char* pretty_function);
    ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;

  private:
    const char* function_;
};

// Scope tracer of the narrow-text modules: flag 4.
class TraceHelperA {
  public:
    explicit TraceHelperA(const char* pretty_function);
    ~TraceHelperA();
    TraceHelperA(const TraceHelperA&) = delete;
    TraceHelperA& operator=(const TraceHelperA&) = delete;

  private:
    const char* function_;
};

}  // namespace trace

// Narrow step lines: "[unit(line)]:(function -- step)\t\t--OK\n" and the failed form.
#define OK_STEP(unit, step)                                                  \
    do {                                                                     \
        if (::trace::IsEnabled(::trace::kFlagInfo))                          \
            ::trace::StepOkA((unit), __LINE__, __PRETTY_FUNCTION__, (step)); \
    } while (0)
#define FAILED_STEP(unit, step, code, reason)                                   \
    do {                                                                        \
        if (::trace::IsEnabled(::trace::kFlagError))                            \
            ::trace::StepFailedA((unit), __LINE__, __PRETTY_FUNCTION__, (step), \
                                 static_cast<int32_t>(code), (reason));         \
    } while (0)
// The failed form that appends OpenSSL's text for its latest error.
#define FAILED_STEP_OPENSSL(unit, step, code, reason)                                  \
    do {                                                                               \
        if (::trace::IsEnabled(::trace::kFlagError))                                   \
            ::trace::StepFailedOpenSslA((unit), __LINE__, __PRETTY_FUNCTION__, (step), \
                                        static_cast<int32_t>(code), (reason));         \
    } while (0)

// Wide step lines: "function - step" and "[unit(line):] function - step [Reason:reason]"; the
// code travels with the event. A negative code sends at flag 2, any other at flag 4.
#define OK_STEP_W(unit, step)                                                                      \
    do {                                                                                           \
        (void)(unit);                                                                              \
        if (::trace::IsEnabled(::trace::kFlagInfo)) ::trace::StepOkW(__PRETTY_FUNCTION__, (step)); \
    } while (0)
#define FAILED_STEP_W(unit, step, code, reason)                                                 \
    do {                                                                                        \
        const int32_t trace_code_ = static_cast<int32_t>(code);                                 \
        if (::trace::IsEnabled(trace_code_ < 0 ? ::trace::kFlagWideError : ::trace::kFlagInfo)) \
            ::trace::StepFailedW((unit), __LINE__, __PRETTY_FUNCTION__, (step), trace_code_,    \
                                 (reason));                                                     \
    } while (0)

// Traced values and events; the arguments are evaluated only when the flag is on.
#define TRACE_INFO(...)                                                               \
    do {                                                                              \
        if (::trace::IsEnabled(::trace::kFlagInfo)) ::trace::EmitFormat(__VA_ARGS__); \
    } while (0)
#define TRACE_ERROR(...)                                                               \
    do {                                                                               \
        if (::trace::IsEnabled(::trace::kFlagError)) ::trace::EmitFormat(__VA_ARGS__); \
    } while (0)

#define TRACE_SCOPE() ::trace::TraceHelper trace_scope_(__PRETTY_FUNCTION__)
#define TRACE_SCOPE_A() ::trace::TraceHelperA trace_scope_a_(__PRETTY_FUNCTION__)
