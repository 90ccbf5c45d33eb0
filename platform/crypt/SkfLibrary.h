// One loaded SKF (GM/T 0016) library as the SM2 providers and `tessora-providers` use it: the entry
// points they call, owned device, application, container and hash handles, and the calls with
// their two-call size queries done once. Every call answers a status: a SAR value of the library,
// or one of the two values below for what is not the library's answer. SkfResultCode turns a
// status into a result code; it is the only place that does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ResultCodes.h"
#include "platform/crypt/SkfApi.h"
#include "platform/runtime/SharedLibrary.h"

// Statuses outside the SAR range (GM/T 0016 SAR values are 0x0A0000xx).
constexpr ULONG kSkfMissingEntryPoint = 0xFFFFFF01;  // the library does not export the function
constexpr ULONG kSkfMalformedOutput = 0xFFFFFF02;    // a size or list the library returned is bad

// SAR_OK stays 0, a SAR by the SKF rule (RESULT_FROM_SAR); the two values above become
// VELK_E_SKF_FUNCTION_UNAVAILABLE and VELK_E_SKF_DATA_FORMAT.
HRESULT SkfResultCode(ULONG status);
// "SAR_DEVICE_REMOVED (0x0A000023)", for people reading a tool's output or a trace.
std::string SkfStatusText(ULONG status);

// Every entry point the providers use: X(name, function type).
#define SKF_PROVIDER_ENTRY_POINT_LIST(X)                \
    X(SKF_EnumDev, PFN_SKF_EnumDev)                     \
    X(SKF_ConnectDev, PFN_SKF_ConnectDev)               \
    X(SKF_DisConnectDev, PFN_SKF_DisConnectDev)         \
    X(SKF_GetDevInfo, PFN_SKF_GetDevInfo)               \
    X(SKF_EnumApplication, PFN_SKF_EnumApplication)     \
    X(SKF_OpenApplication, PFN_SKF_OpenApplication)     \
    X(SKF_CloseApplication, PFN_SKF_CloseApplication)   \
    X(SKF_VerifyPIN, PFN_SKF_VerifyPIN)                 \
    X(SKF_EnumContainer, PFN_SKF_EnumContainer)         \
    X(SKF_OpenContainer, PFN_SKF_OpenContainer)         \
    X(SKF_CloseContainer, PFN_SKF_CloseContainer)       \
    X(SKF_GetContainerType, PFN_SKF_GetContainerType)   \
    X(SKF_ExportCertificate, PFN_SKF_ExportCertificate) \
    X(SKF_ExportPublicKey, PFN_SKF_ExportPublicKey)     \
    X(SKF_DigestInit, PFN_SKF_DigestInit)               \
    X(SKF_DigestUpdate, PFN_SKF_DigestUpdate)           \
    X(SKF_DigestFinal, PFN_SKF_DigestFinal)             \
    X(SKF_ECCSignData, PFN_SKF_ECCSignData)             \
    X(SKF_CloseHandle, PFN_SKF_CloseHandle)

class SkfLibrary {
  public:
    // A device, application, container or hash handle, closed with the library's own function
    // when the owner goes. Owners must go before the library.
    struct HandleCloser {
        ULONG (*close)(HANDLE) = nullptr;
        void operator()(HANDLE handle) const {
            if (close != nullptr) close(handle);  // a removed key answers an error: nothing to do
        }
    };
    using Handle = std::unique_ptr<void, HandleCloser>;

    // Loads the library at `path` (dlopen) and resolves its entry points; null on failure, with
    // *error the loader's error as a result code (0x8007007E for a missing file).
    static std::unique_ptr<SkfLibrary> Load(const std::string& path, HRESULT* error);
    SkfLibrary(const SkfLibrary&) = delete;
    SkfLibrary& operator=(const SkfLibrary&) = delete;

    ULONG EnumDevices(std::vector<std::string>* names) const;
    ULONG Connect(const std::string& device, Handle* handle) const;
    // The device's Label and SerialNumber (DEVINFO), each up to its first zero byte.
    ULONG DeviceInfo(HANDLE device, std::string* label, std::string* serial) const;
    ULONG EnumApplications(HANDLE device, std::vector<std::string>* names) const;
    ULONG OpenApplication(HANDLE device, const std::string& name, Handle* handle) const;
    ULONG EnumContainers(HANDLE application, std::vector<std::string>* names) const;
    ULONG OpenContainer(HANDLE application, const std::string& name, Handle* handle) const;
    ULONG ContainerType(HANDLE container, ULONG* type) const;
    // sign: the signing certificate (bSignFlag TRUE), else the encryption certificate.
    ULONG ExportCertificate(HANDLE container, bool sign, std::vector<uint8_t>* der) const;
    ULONG ExportPublicKey(HANDLE container, bool sign, ECCPUBLICKEYBLOB* key) const;
    // SM3 over Z(id, key) and the data (GM/T 0003.2): the digest SKF_ECCSignData signs.
    ULONG DigestInit(HANDLE device, const ECCPUBLICKEYBLOB& key, const std::string& id,
                     Handle* hash) const;
    ULONG DigestUpdate(HANDLE hash, const uint8_t* data, size_t size) const;
    ULONG DigestFinal(HANDLE hash, std::vector<uint8_t>* digest) const;
    ULONG SignDigest(HANDLE container, const std::vector<uint8_t>& digest,
                     ECCSIGNATUREBLOB* signature) const;
    // *retries: the attempts left the library reported, or -1 when it reported none.
    ULONG VerifyUserPin(HANDLE application, const std::string& pin, int* retries) const;

  private:
    SkfLibrary() = default;

    struct EntryPoints {
#define SKF_DECLARE_PROVIDER_ENTRY_POINT(name, type) type name = nullptr;
        SKF_PROVIDER_ENTRY_POINT_LIST(SKF_DECLARE_PROVIDER_ENTRY_POINT)
#undef SKF_DECLARE_PROVIDER_ENTRY_POINT
    };

    SharedLibraryPtr library_;
    EntryPoints api_;
};
