// tessora-providers: the SM2 providers (SKF libraries registered under a provider name), for users
// and support staff.
//
//   tessora-providers list
//   tessora-providers add NAME LIBRARY [--system]
//   tessora-providers remove NAME [--system]
//   tessora-providers check NAME
//
// `check` loads the library and shows what it sees: the present devices, their applications and
// containers, and the certificates of the ECC containers. It never asks for a PIN and never signs.
// Exit status: 0 done, 1 the operation failed, 2 usage error.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "common/Ascii.h"
#include "common/OpenSslPtr.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/crypt/SkfLibrary.h"
#include "platform/crypt/SkfProviders.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using X509Ptr = std::unique_ptr<X509, openssl_ptr::Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, openssl_ptr::Deleter<BIO_free_all>>;
using BitStringPtr = std::unique_ptr<ASN1_BIT_STRING, openssl_ptr::Deleter<ASN1_BIT_STRING_free>>;

void PrintUsage() {
    std::cerr << "usage: tessora-providers list\n"
                 "       tessora-providers add NAME LIBRARY [--system]\n"
                 "       tessora-providers remove NAME [--system]\n"
                 "       tessora-providers check NAME\n"
                 "NAME is the provider name web pages give to SetSM2CSPList; LIBRARY the SKF\n"
                 "(GM/T 0016) library of the USB key. --system uses the system folder instead of\n"
                 "the user's.\n";
}

std::string CodeText(HRESULT code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    return text;
}

const char* ScopeName(ProviderScope scope) {
    return scope == ProviderScope::kSystem ? "system" : "user";
}

// A file name for a new entry: the name's letters and digits, the rest as '_'; a number is added
// when the file exists already.
std::string NewFileName(const std::string& folder, const std::string& name) {
    std::string stem;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        stem.push_back(plain ? c : '_');
    }
    if (stem.size() > 64) stem.resize(64);
    std::error_code ignored;
    std::string file = folder + "/" + stem + ".conf";
    for (int number = 2; fs::exists(file, ignored) || fs::is_symlink(file, ignored); ++number)
        file = folder + "/" + stem + "-" + std::to_string(number) + ".conf";
    return file;
}

// Writes the file next to its final place and renames it, so a reader never sees half of it.
bool WriteEntryFile(const std::string& path, const std::string& name, const std::string& library) {
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "# SM2 provider, written by tessora-providers\nname = " << name
            << "\nlibrary = " << library << "\n";
        if (!out.flush()) return false;
    }
    chmod(temporary.c_str(), 0644);  // the host of every user reads the system folder
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) fs::remove(temporary, error);
    return !error;
}

// The files of one folder that name this provider.
std::vector<std::string> FilesNaming(const std::string& folder, const std::string& name) {
    std::vector<std::string> files;
    for (const std::string& path : ProviderFiles(folder)) {
        ProviderEntry entry;
        ReadProviderFile(path, &entry);
        if (entry.name == name) files.push_back(path);
    }
    return files;
}

int List() {
    const ProviderFolders folders = DefaultProviderFolders();
    const ProviderRegistry registry = ReadProviderRegistry(folders);
    std::cout << "System folder: " << folders.system << "\n"
              << "User folder:   " << folders.user << "\n";
    if (registry.entries.empty()) std::cout << "No SM2 provider is registered.\n";
    for (const ProviderEntry& entry : registry.entries) {
        HRESULT error = S_OK;
        const bool loads = SkfLibrary::Load(entry.library, &error) != nullptr;
        std::cout << "\n"
                  << entry.name << "\n  library:    " << entry.library
                  << "\n  registered: " << ScopeName(entry.scope) << " (" << entry.file << ")"
                  << "\n  loads:      " << (loads ? "yes" : "no (" + CodeText(error) + ")") << "\n";
    }
    for (const SkippedProviderFile& skipped : registry.skipped)
        std::cout << "\nSkipped " << skipped.file << ": " << skipped.reason << "\n";
    return kExitOk;
}

int Add(const std::string& name, const std::string& library_argument, bool system) {
    const std::string problem = ProviderNameProblem(name);
    if (!problem.empty()) {
        std::cerr << "tessora-providers: cannot register \"" << name << "\": " << problem << "\n";
        return kExitUsage;
    }
    std::error_code error;
    const std::string library = fs::absolute(library_argument, error).lexically_normal().string();
    if (error || !fs::is_regular_file(library, error)) {
        std::cerr << "tessora-providers: no library at " << library_argument << "\n";
        return kExitFailed;
    }
    const ProviderFolders folders = DefaultProviderFolders();
    const std::string folder = system ? folders.system : folders.user;
    if (folder.empty()) {
        std::cerr << "tessora-providers: no user folder (HOME is not set)\n";
        return kExitFailed;
    }
    fs::create_directories(folder, error);
    // An entry of the same name in this folder is updated in its own file.
    const std::vector<std::string> existing = FilesNaming(folder, name);
    const std::string file = existing.empty() ? NewFileName(folder, name) : existing.front();
    if (!WriteEntryFile(file, name, library)) {
        std::cerr << "tessora-providers: cannot write " << file << ": " << std::strerror(errno)
                  << "\n";
        return kExitFailed;
    }
    std::cout << "Registered \"" << name << "\" (" << library << ") in " << file << "\n";
    HRESULT load_error = S_OK;
    if (SkfLibrary::Load(library, &load_error) == nullptr)
        std::cerr << "warning: the library does not load (" << CodeText(load_error) << ")\n";
    if (name.find("Microsoft") != std::string::npos)
        std::cerr << "warning: provider names containing \"Microsoft\" are never searched for "
                     "certificates\n";
    return kExitOk;
}

int Remove(const std::string& name, bool system) {
    const ProviderFolders folders = DefaultProviderFolders();
    const std::string folder = system ? folders.system : folders.user;
    const std::vector<std::string> files = FilesNaming(folder, name);
    if (files.empty()) {
        std::cerr << "tessora-providers: \"" << name << "\" is not registered in " << folder
                  << "\n";
        if (!FilesNaming(system ? folders.user : folders.system, name).empty())
            std::cerr << "(it is registered in " << (system ? folders.user : folders.system)
                      << (system ? "" : "; use --system") << ")\n";
        return kExitFailed;
    }
    int status = kExitOk;
    for (const std::string& file : files) {
        std::error_code error;
        if (fs::remove(file, error)) {
            std::cout << "Removed " << file << "\n";
        } else {
            std::cerr << "tessora-providers: cannot remove " << file << ": " << error.message()
                      << "\n";
            status = kExitFailed;
        }
    }
    return status;
}

std::string SubjectText(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string SerialText(X509* certificate) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    std::string text;
    AppendHex(text, serial->data, static_cast<size_t>(serial->length));
    return text;
}

std::string KeyUsageText(X509* certificate) {
    static const char* const kBits[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                        "dataEncipherment", "keyAgreement",   "keyCertSign",
                                        "cRLSign",          "encipherOnly",   "decipherOnly"};
    BitStringPtr usage(static_cast<ASN1_BIT_STRING*>(
        X509_get_ext_d2i(certificate, NID_key_usage, nullptr, nullptr)));
    if (!usage) return "(no key usage extension)";
    std::string text;
    for (int bit = 0; bit < 9; ++bit) {
        if (ASN1_BIT_STRING_get_bit(usage.get(), bit))
            text += (text.empty() ? "" : ", ") + std::string(kBits[bit]);
    }
    return text.empty() ? "(none)" : text;
}

void PrintCertificate(const SkfLibrary& library, HANDLE container, bool sign) {
    const std::string role =
        std::string("        ") + (sign ? "signing certificate" : "encryption certificate");
    std::vector<uint8_t> der;
    const ULONG status = library.ExportCertificate(container, sign, &der);
    if (status == SAR_CERTNOTFOUNTERR || (status == SAR_OK && der.empty())) {
        std::cout << role << ": none\n";
        return;
    }
    if (status != SAR_OK) {
        std::cout << role << ": SKF_ExportCertificate failed: " << SkfStatusText(status) << "\n";
        return;
    }
    const unsigned char* bytes = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
    if (!certificate) {
        std::cout << role << ": " << der.size() << " bytes that are no certificate\n";
        return;
    }
    std::cout << role << ":\n"
              << "          subject:   " << SubjectText(certificate.get()) << "\n"
              << "          serial:    " << SerialText(certificate.get()) << "\n"
              << "          key usage: " << KeyUsageText(certificate.get()) << "\n";
}

int Check(const std::string& name) {
    const ProviderRegistry registry = ReadProviderRegistry(DefaultProviderFolders());
    const ProviderEntry* entry = nullptr;
    for (const ProviderEntry& candidate : registry.entries) {
        if (candidate.name == name) entry = &candidate;
    }
    if (entry == nullptr) {
        std::cerr << "tessora-providers: \"" << name << "\" is not registered\n";
        return kExitFailed;
    }
    std::cout << name << "\n  library: " << entry->library << "\n";
    HRESULT load_error = S_OK;
    const std::unique_ptr<SkfLibrary> library = SkfLibrary::Load(entry->library, &load_error);
    if (!library) {
        std::cout << "  the library does not load (" << CodeText(load_error) << ")\n";
        return kExitFailed;
    }
    std::vector<std::string> devices;
    ULONG status = library->EnumDevices(&devices);
    if (status != SAR_OK) {
        std::cout << "  SKF_EnumDev failed: " << SkfStatusText(status) << "\n";
        return kExitFailed;
    }
    if (devices.empty()) std::cout << "  no device is present\n";
    for (const std::string& device_name : devices) {
        std::cout << "  device " << device_name << "\n";
        SkfLibrary::Handle device;
        if ((status = library->Connect(device_name, &device)) != SAR_OK) {
            std::cout << "    SKF_ConnectDev failed: " << SkfStatusText(status) << "\n";
            continue;
        }
        std::string label, serial;
        if ((status = library->DeviceInfo(device.get(), &label, &serial)) == SAR_OK) {
            std::cout << "    label: " << label << "\n    serial number: " << serial << "\n";
        } else {
            std::cout << "    SKF_GetDevInfo failed: " << SkfStatusText(status) << "\n";
        }
        std::vector<std::string> applications;
        if ((status = library->EnumApplications(device.get(), &applications)) != SAR_OK) {
            std::cout << "    SKF_EnumApplication failed: " << SkfStatusText(status) << "\n";
            continue;
        }
        for (const std::string& application_name : applications) {
            std::cout << "    application " << application_name << "\n";
            SkfLibrary::Handle application;
            std::vector<std::string> containers;
            if ((status = library->OpenApplication(device.get(), application_name, &application)) !=
                SAR_OK) {
                std::cout << "      SKF_OpenApplication failed: " << SkfStatusText(status) << "\n";
                continue;
            }
            if ((status = library->EnumContainers(application.get(), &containers)) != SAR_OK) {
                std::cout << "      SKF_EnumContainer failed: " << SkfStatusText(status) << "\n";
                continue;
            }
            for (const std::string& container_name : containers) {
                SkfLibrary::Handle container;
                ULONG type = kSkfContainerEmpty;
                if ((status = library->OpenContainer(application.get(), container_name,
                                                     &container)) != SAR_OK ||
                    (status = library->ContainerType(container.get(), &type)) != SAR_OK) {
                    std::cout << "      container " << container_name
                              << ": failed: " << SkfStatusText(status) << "\n";
                    continue;
                }
                if (type != kSkfContainerEcc) {
                    std::cout << "      container " << container_name
                              << (type == kSkfContainerRsa ? ": RSA" : ": empty")
                              << ", not an SM2 container\n";
                    continue;
                }
                const std::string key_container =
                    EncodeSkfContainerName(device_name, application_name, container_name);
                std::cout << "      ECC container " << container_name << "\n        key container: "
                          << (key_container.empty() ? "(name too long: not offered)"
                                                    : key_container)
                          << "\n";
                PrintCertificate(*library, container.get(), true);
                PrintCertificate(*library, container.get(), false);
            }
        }
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool system = false;
    for (auto it = args.begin(); it != args.end();) {
        if (*it == "--system") {
            system = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (args.empty()) {
        PrintUsage();
        return kExitUsage;
    }
    const std::string& command = args[0];
    if (command == "list" && args.size() == 1 && !system) return List();
    if (command == "add" && args.size() == 3) return Add(args[1], args[2], system);
    if (command == "remove" && args.size() == 2) return Remove(args[1], system);
    if (command == "check" && args.size() == 2 && !system) return Check(args[1]);
    PrintUsage();
    return kExitUsage;
}
