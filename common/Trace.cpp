#include "common/Trace.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>

#include "common/Utf.h"
#include "platform/runtime/LastError.h"

namespace trace {

std::atomic<uint32_t> g_enable_flags{0};

namespace {

struct ControlState {
    std::mutex mutex;
    std::string ident = "tessora";
    std::string control_path;
    bool have_stat = false;
    struct stat last_stat {};
    bool sink_is_file = false;
    std::string sink_file;
    int file_fd = -1;
    bool syslog_open = false;
};

ControlState& State() {
    static ControlState* state = new ControlState();  // never destroyed: usable until exit
    return *state;
}

bool SameStat(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void CloseSinkLocked(ControlState& s) {
    if (s.file_fd >= 0) {
        close(s.file_fd);
        s.file_fd = -1;
    }
    if (s.syslog_open) {
        closelog();
        s.syslog_open = false;
    }
}

void ApplyControlText(ControlState& s, const std::string& text) {
    const ControlSettings settings = ParseControlText(text);
    if (settings.sink_file != s.sink_file) CloseSinkLocked(s);
    s.sink_is_file = !settings.sink_file.empty();
    s.sink_file = settings.sink_file;
    g_enable_flags.store(settings.flags, std::memory_order_relaxed);
}

void RefreshLocked(ControlState& s) {
    struct stat st {};
    if (stat(s.control_path.c_str(), &st) != 0) {
        if (s.have_stat) {
            s.have_stat = false;
            g_enable_flags.store(0, std::memory_order_relaxed);
            CloseSinkLocked(s);
        }
        return;
    }
    if (s.have_stat && SameStat(st, s.last_stat)) return;
    s.have_stat = true;
    s.last_stat = st;
    int fd = open(s.control_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string text;
    char buf[512];
    ssize_t n;
    while (text.size() < 4096 && ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    ApplyControlText(s, text);
}

void WriteLocked(ControlState& s, int priority, const std::string& text) {
    if (s.sink_is_file) {
        if (s.file_fd < 0)
            s.file_fd = open(s.sink_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (s.file_fd < 0) return;
        std::string line = text;
        if (line.empty() || line.back() != '\n') line.push_back('\n');
        size_t off = 0;
        while (off < line.size()) {
            ssize_t w = write(s.file_fd, line.data() + off, line.size() - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            off += static_cast<size_t>(w);
        }
        return;
    }
    if (!s.syslog_open) {
        openlog(s.ident.c_str(), LOG_PID, LOG_USER);  // never LOG_PERROR: stderr stays silent
        s.syslog_open = true;
    }
    syslog(priority, "%s", text.c_str());
}

void EmitWithPriority(int priority, const std::string& text) {
    LastErrorKeeper keep;
    const int saved_errno = errno;
    ControlState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        WriteLocked(s, priority, text);
    }
    errno = saved_errno;
}

std::string VFormat(const char* format, va_list args) {
    char buf[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

}  // namespace

// The control file holds lines "flags N" and "sink syslog" or "sink file PATH"; the last of each
// counts.
ControlSettings ParseControlText(const std::string& text) {
    ControlSettings settings;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.rfind("flags ", 0) == 0) {
            std::string value(line.substr(6));
            settings.flags = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 0)) & 0xF;
        } else if (line == "sink syslog") {
            settings.sink_file.clear();
        } else if (line.rfind("sink file ", 0) == 0) {
            settings.sink_file = std::string(line.substr(10));
        }
    }
    return settings;
}

ControlSettings ReadControlFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseControlText(text.str());
}

std::string ControlFilePath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != 0) return std::string(runtime) + "/tessora/trace.conf";
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && *cache != 0) return std::string(cache) + "/tessora/trace.conf";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "/tmp") + "/.cache/tessora/trace.conf";
}

void Start(const char* ident) {
    ControlState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.ident = ident != nullptr ? ident : "tessora";
    s.control_path = ControlFilePath();
    s.have_stat = false;
    RefreshLocked(s);
}

void Stop() {
    ControlState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    g_enable_flags.store(0, std::memory_order_relaxed);
    CloseSinkLocked(s);
    s.have_stat = false;
}

void RefreshControl() {
    ControlState& s = State();
    if (s.control_path.empty()) return;  // not started
    const int saved_errno = errno;
    std::lock_guard<std::mutex> lock(s.mutex);
    RefreshLocked(s);
    errno = saved_errno;
}

void Emit(const std::string& text) { EmitWithPriority(LOG_INFO, text); }

void EmitFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    EmitWithPriority(LOG_INFO, text);
}

std::string FunctionName(const char* pretty) {
    if (pretty == nullptr) return "NULL";
    std::string_view p(pretty);
    size_t paren = p.find('(');
    if (paren == std::string_view::npos) return std::string(p);
    std::string_view head = p.substr(0, paren);
    size_t space = head.rfind(' ');
    // Skip a "*" or "&" that belongs to the return type.
    if (space != std::string_view::npos) head = head.substr(space + 1);
    while (!head.empty() && (head.front() == '*' || head.front() == '&')) head.remove_prefix(1);
    return std::string(head);
}

std::string Text(const char16_t* text) {
    if (text == nullptr) return "NULL";
    if (*text == 0) return "<NULL>";
    std::u16string_view v(text);
    return Utf16ToUtf8String(v);
}

std::string Text(const char* text) {
    if (text == nullptr) return "NULL";
    if (*text == 0) return "<NULL>";
    return text;
}

void StepOkA(const char* unit, int line, const char* function, const char* step) {
    EmitWithPriority(LOG_INFO, Format("[%s(%d)]:(%s -- %s)\t\t--OK\n", unit, line,
                                      FunctionName(function).c_str(), step));
}

void StepFailedA(const char* unit, int line, const char* function, const char* step, int32_t code,
                 const char* reason) {
    EmitWithPriority(
        LOG_ERR, Format("[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n", unit, line,
                        FunctionName(function).c_str(), step, static_cast<unsigned>(code), reason));
}

void StepFailedOpenSslA(const char* unit, int line, const char* function, const char* step,
                        int32_t code, const char* reason) {
    char err[256];
    ERR_error_string_n(ERR_peek_last_error(), err, sizeof err);
    EmitWithPriority(
        LOG_ERR,
        Format("[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s] Openssl %s\n", unit, line,
               FunctionName(function).c_str(), step, static_cast<unsigned>(code), reason, err));
}

void StepOkW(const char* function, const char* step) {
    EmitWithPriority(LOG_INFO, Format("%s - %s", FunctionName(function).c_str(), step));
}

void StepFailedW(const char* unit, int line, const char* function, const char* step, int32_t code,
                 const char* reason) {
    // The code travels beside the text, as the event's second argument.
    EmitWithPriority(
        code < 0 ? LOG_ERR : LOG_INFO,
        Format("[%s(%d):] %s - %s [Reason:%s]\t(0x%08x)", unit, line,
               FunctionName(function).c_str(), step, reason, static_cast<unsigned>(code)));
}

TraceHelper::TraceHelper(const char* pretty_function) : function_(pretty_function) {
    if (IsEnabled(kFlagScope)) EmitFormat("Enter %s", FunctionName(function_).c_str());
}
TraceHelper::~TraceHelper() {
    if (IsEnabled(kFlagScope)) EmitFormat("Exit %s", FunctionName(function_).c_str());
}

TraceHelperA::TraceHelperA(const char* pretty_function) : function_(pretty_function) {
    if (IsEnabled(kFlagInfo)) EmitFormat("Enter %s", FunctionName(function_).c_str());
}
TraceHelperA::~TraceHelperA() {
    if (IsEnabled(kFlagInfo)) EmitFormat("Exit %s", FunctionName(function_).c_str());
}

}  // namespace trace
