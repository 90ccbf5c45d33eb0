// Helpers of the dialog tests: small certificates made with OpenSSL, an in-memory store over
// them, and a private X display (Xvfb) driven with xdotool and photographed with ImageMagick.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypt/CertServices.h"

namespace dialog_test {

using NameParts = std::vector<std::pair<std::string, std::string>>;  // in encoding order

struct CertificateSpec {
    NameParts subject;
    NameParts issuer;
    std::vector<uint8_t> serial;  // most significant byte first, as in the DER
    std::string not_before = "20240105000000Z";
    std::string not_after = "20301231235959Z";
};

// A DER certificate with those fields (a fresh SM2 key, self-signed; tests/support/TestKeys.h).
std::vector<uint8_t> MakeCertificate(const CertificateSpec& spec);

// A memory store holding certificates; closed with the object.
class MemoryStore {
  public:
    MemoryStore();
    ~MemoryStore();
    MemoryStore(const MemoryStore&) = delete;
    MemoryStore& operator=(const MemoryStore&) = delete;
    void Add(const std::vector<uint8_t>& der);
    HCERTSTORE handle() const { return store_; }

  private:
    HCERTSTORE store_;
};

// A private X server for this process. DISPLAY points at it while the object lives.
class PrivateDisplay {
  public:
    PrivateDisplay(int width, int height);
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;
    bool ok() const { return display_number_ >= 0; }
    std::string name() const { return ":" + std::to_string(display_number_); }

  private:
    pid_t pid_ = -1;
    int display_number_ = -1;
};

// One private X server for a whole test program: started by the first call, stopped at exit.
PrivateDisplay& ProgramDisplay();

// Runs a shell command with a time limit; returns its standard output.
std::string RunCommand(const std::string& command, int timeout_seconds = 10);

// Waits for a mapped window with this exact title (or matching xdotool search arguments that
// start with "--"); its X id, or 0.
unsigned long WaitForWindow(const std::string& title, int timeout_seconds = 10);
// Window origin in root coordinates.
std::pair<int, int> WindowOrigin(unsigned long window);
// Whether a window with this title is still mapped.
bool WindowExists(const std::string& title);

// A screenshot of the root window.
struct Screenshot {
    explicit Screenshot(const std::string& path);
    ~Screenshot();
    bool ok() const { return pixbuf != nullptr; }
    uint32_t Pixel(int x, int y) const;  // 0xRRGGBB
    GdkPixbuf* pixbuf = nullptr;
};

// Runs `person` on its own thread while `show` runs a modal window on this one. The person waits
// for the window titled `caption` and acts; whatever happens, the thread then presses Escape
// until `show` has returned, and ends the process if it never does, so no test can hang.
void WithPerson(const std::function<void()>& show,
                const std::function<void(unsigned long window)>& person,
                const std::string& caption = "Windows Security");

// Colour distance: the largest difference of the three channels.
int ColorDistance(uint32_t a, uint32_t b);

}  // namespace dialog_test
