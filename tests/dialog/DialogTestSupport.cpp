#include "tests/dialog/DialogTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/TestKeys.h"

namespace dialog_test {

namespace {

// "C=CN,O=Org,CN=Name", as the shared certificate factory takes names.
std::string NameText(const NameParts& parts) {
    std::string text;
    for (const auto& [field, value] : parts) {
        if (!text.empty()) text += ',';
        text += field + '=' + EscapeNameValue(value);
    }
    return text;
}

}  // namespace

std::vector<uint8_t> MakeCertificate(const CertificateSpec& fields) {
    TestCertificateSpec certificate;
    certificate.subject = NameText(fields.subject);
    certificate.issuer = NameText(fields.issuer);
    certificate.serial_bytes = fields.serial;
    certificate.not_before_time = fields.not_before;
    certificate.not_after_time = fields.not_after;
    certificate.subject_key_id = false;
    return MakeTestCertificate(MakeSm2Key().get(), certificate);
}

MemoryStore::MemoryStore()
    : store_(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0,
                           nullptr)) {}

MemoryStore::~MemoryStore() {
    if (store_ != nullptr) CertCloseStore(store_, 0);
}

void MemoryStore::Add(const std::vector<uint8_t>& der) {
    PCCERT_CONTEXT context = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (context == nullptr) throw std::runtime_error("certificate not parsed");
    CertAddCertificateContextToStore(store_, context, CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertFreeCertificateContext(context);
}

PrivateDisplay::PrivateDisplay(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        const std::string fd_text = std::to_string(fds[1]);
        // -displayfd lets the server pick a free display, so parallel tests never collide.
        execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return;
    display_number_ = std::atoi(number.c_str());
    setenv("DISPLAY", name().c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    // No accessibility bus or settings daemon runs beside this server: GTK (here and in a host
    // started from here) is told not to look for them.
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
}

PrivateDisplay::~PrivateDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

std::string RunCommand(const std::string& command, int timeout_seconds) {
    const std::string limited =
        "timeout " + std::to_string(timeout_seconds) + " " + command + " 2>/dev/null";
    std::string out;
    FILE* pipe = popen(limited.c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 512> buffer{};
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    pclose(pipe);
    return out;
}

namespace {
// xdotool's search arguments: a title is matched whole; "--..." is passed as it is.
std::string SearchArguments(const std::string& title) {
    if (title.rfind("--", 0) == 0) return title;
    return "--name '^" + title + "$'";
}
}  // namespace

unsigned long WaitForWindow(const std::string& title, int timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string out =
            RunCommand("xdotool search --onlyvisible " + SearchArguments(title), 5);
        if (!out.empty()) {
            // Give GTK a moment to paint the first frame.
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            return std::strtoul(out.c_str(), nullptr, 10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

bool WindowExists(const std::string& title) {
    return !RunCommand("xdotool search --onlyvisible " + SearchArguments(title), 5).empty();
}

std::pair<int, int> WindowOrigin(unsigned long window) {
    const std::string out =
        RunCommand("xdotool getwindowgeometry --shell " + std::to_string(window), 5);
    int x = -1;
    int y = -1;
    const size_t px = out.find("X=");
    const size_t py = out.find("Y=");
    if (px != std::string::npos) x = std::atoi(out.c_str() + px + 2);
    if (py != std::string::npos) y = std::atoi(out.c_str() + py + 2);
    return {x, y};
}

Screenshot::Screenshot(const std::string& path) {
    RunCommand("import -window root " + path, 15);
    pixbuf = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    unlink(path.c_str());  // the pixels are in memory now
}

Screenshot::~Screenshot() {
    if (pixbuf != nullptr) g_object_unref(pixbuf);
}

uint32_t Screenshot::Pixel(int x, int y) const {
    if (pixbuf == nullptr || x < 0 || y < 0 || x >= gdk_pixbuf_get_width(pixbuf) ||
        y >= gdk_pixbuf_get_height(pixbuf))
        return 0xFFFFFFFFu;
    const guchar* p = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) +
                      x * gdk_pixbuf_get_n_channels(pixbuf);
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

PrivateDisplay& ProgramDisplay() {
    static PrivateDisplay display(1024, 768);
    return display;
}

void WithPerson(const std::function<void()>& show,
                const std::function<void(unsigned long window)>& person,
                const std::string& caption) {
    std::atomic<bool> done{false};
    std::thread driver([&] {
        const unsigned long window = WaitForWindow(caption);
        if (window != 0) person(window);
        for (int i = 0; i < 10 && !done; ++i) {
            RunCommand("xdotool key Escape");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        if (!done) {
            std::fprintf(stderr, "The window did not close; ending the test process.\n");
            std::abort();
        }
    });
    show();
    done = true;
    driver.join();
}

int ColorDistance(uint32_t a, uint32_t b) {
    int worst = 0;
    for (int shift : {0, 8, 16}) {
        const int d =
            std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
        if (d > worst) worst = d;
    }
    return worst;
}

}  // namespace dialog_test
