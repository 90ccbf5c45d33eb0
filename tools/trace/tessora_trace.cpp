// tessora-trace: switches the trace flags and the trace sink of running Tessora processes by
// writing the per-user control file that they re-read before each request.
//
//   tessora-trace on FLAGS        FLAGS: a number (1 error, 2 wide errors, 4 info, 8 scopes;
//                                 0xF for all) or names joined by commas: error,wide,info,scope,all
//   tessora-trace off
//   tessora-trace sink syslog|FILE
//   tessora-trace status

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Trace.h"

namespace {

struct Settings {
    uint32_t flags = 0;
    std::string sink = "syslog";  // "syslog" or an absolute file path
};

Settings ReadSettings(const std::string& path) {
    const trace::ControlSettings control = trace::ReadControlFile(path);
    Settings s;
    s.flags = control.flags;
    if (!control.sink_file.empty()) s.sink = control.sink_file;
    return s;
}

bool MakeParents(const std::string& path) {
    for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
        const std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Written to a temporary file and renamed, so a reader never sees half a file.
bool WriteSettings(const std::string& path, const Settings& s) {
    if (!MakeParents(path)) return false;
    std::ostringstream text;
    text << "flags 0x" << std::hex << s.flags << "\n";
    if (s.sink == "syslog")
        text << "sink syslog\n";
    else
        text << "sink file " << s.sink << "\n";
    const std::string body = text.str();
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    fchmod(fd, 0600);
    bool ok = write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool ParseFlags(const std::string& text, uint32_t* flags) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (errno == 0 && end != text.c_str() && *end == 0) {
        if (value > 0xF) return false;
        *flags = static_cast<uint32_t>(value);
        return true;
    }
    uint32_t result = 0;
    std::stringstream names(text);
    std::string name;
    while (std::getline(names, name, ',')) {
        if (name == "error")
            result |= trace::kFlagError;
        else if (name == "wide")
            result |= trace::kFlagWideError;
        else if (name == "info")
            result |= trace::kFlagInfo;
        else if (name == "scope")
            result |= trace::kFlagScope;
        else if (name == "all")
            result |= 0xF;
        else
            return false;
    }
    *flags = result;
    return result != 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tessora-trace on FLAGS | off | sink syslog|FILE | status\n"
                 "  FLAGS: 1 errors, 2 wide errors, 4 information, 8 scopes (e.g. 0xF), or\n"
                 "         names joined by commas: error,wide,info,scope,all\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    const std::string path = trace::ControlFilePath();
    Settings s = ReadSettings(path);

    if (command == "status" && argc == 2) {
        std::printf("control file: %s\nflags: 0x%x\nsink: %s\n", path.c_str(), s.flags,
                    s.sink.c_str());
        return 0;
    }
    if (command == "on" && argc == 3) {
        if (!ParseFlags(argv[2], &s.flags)) return Usage();
    } else if (command == "off" && argc == 2) {
        s.flags = 0;
    } else if (command == "sink" && argc == 3) {
        std::string target = argv[2];
        if (target != "syslog") {
            if (target.empty()) return Usage();
            if (target[0] != '/') {
                char cwd[4096];
                if (getcwd(cwd, sizeof cwd) == nullptr) return 1;
                target = std::string(cwd) + "/" + target;
            }
        }
        s.sink = target;
    } else {
        return Usage();
    }
    if (!WriteSettings(path, s)) {
        std::fprintf(stderr, "tessora-trace: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
