#include "platform/crypt/SkfLibrary.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>

#include "common/Trace.h"
#include "platform/runtime/LastError.h"

namespace {

// Bounds on what a library may report; anything larger is taken as a broken answer rather than
// an allocation request.
constexpr ULONG kMaxNameListSize = 1u << 20;
constexpr ULONG kMaxCertificateSize = 1u << 20;
constexpr ULONG kMaxDigestSize = 64;
// A library that reports a list or certificate size may still write a little more (an 8-byte
// ULONG, a final NUL it did not count); the buffers get this much zeroed room behind the size.
constexpr size_t kHeadroom = 16;
constexpr ULONG kNoRetryCount = 0xFFFFFFFF;
constexpr ULONG kMaxRetryCount = 255;

// "A\0B\0\0" into {"A", "B"}; empty names are skipped, nothing past `size` is read.
std::vector<std::string> SplitNameList(const char* list, size_t size) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < size) {
        const void* end = std::memchr(list + start, 0, size - start);
        const size_t length =
            end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - (list + start))
                           : size - start;
        if (length > 0) names.emplace_back(list + start, length);
        start += length + 1;
    }
    return names;
}

// The two-call form shared by SKF_EnumDev, SKF_EnumApplication and SKF_EnumContainer: the size of
// the list, then the list into a zeroed buffer of that size.
template <typename First>
ULONG ReadNameList(ULONG (*function)(First, LPSTR, ULONG*), First first,
                   std::vector<std::string>* names) {
    names->clear();
    if (function == nullptr) return kSkfMissingEntryPoint;
    UlongOut size;
    ULONG status = function(first, nullptr, &size.value);
    if (status != SAR_OK) return status;
    if (size.value > kMaxNameListSize) return kSkfMalformedOutput;
    if (size.value == 0) return SAR_OK;
    std::vector<char> buffer(size.value + kHeadroom, 0);
    UlongOut filled;
    filled.value = size.value;
    status = function(first, buffer.data(), &filled.value);
    if (status != SAR_OK) return status;
    if (filled.value > size.value) return kSkfMalformedOutput;
    *names = SplitNameList(buffer.data(), filled.value);
    return SAR_OK;
}

std::string FieldText(const uint8_t* field, size_t size) {
    const void* end = std::memchr(field, 0, size);
    return std::string(
        reinterpret_cast<const char*>(field),
        end != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(end) - field) : size);
}

SkfLibrary::Handle Owned(HANDLE handle, ULONG (*close)(HANDLE)) {
    return SkfLibrary::Handle(handle, SkfLibrary::HandleCloser{close});
}

// SKF_OpenApplication and SKF_OpenContainer: a named child of an open handle, owned with the
// function that closes it.
ULONG OpenByName(ULONG (*open)(HANDLE, LPSTR, HANDLE*), ULONG (*close)(HANDLE), HANDLE parent,
                 const std::string& name, SkfLibrary::Handle* handle) {
    handle->reset();
    if (open == nullptr || close == nullptr) return kSkfMissingEntryPoint;
    std::string text = name;
    HANDLE raw = nullptr;
    const ULONG status = open(parent, text.data(), &raw);
    if (status == SAR_OK) *handle = Owned(raw, close);
    return status;
}

}  // namespace

HRESULT SkfResultCode(ULONG status) {
    switch (status) {
        case kSkfMissingEntryPoint:
            return VELK_E_SKF_FUNCTION_UNAVAILABLE;
        case kSkfMalformedOutput:
            return VELK_E_SKF_DATA_FORMAT;
        default:
            return RESULT_FROM_SAR(status);
    }
}

std::string SkfStatusText(ULONG status) {
    static const struct {
        ULONG sar;
        const char* name;
    } kNames[] = {
        {SAR_OK, "SAR_OK"},
        {SAR_FAIL, "SAR_FAIL"},
        {SAR_UNKNOWNERR, "SAR_UNKNOWNERR"},
        {SAR_NOTSUPPORTYETERR, "SAR_NOTSUPPORTYETERR"},
        {SAR_INVALIDHANDLEERR, "SAR_INVALIDHANDLEERR"},
        {SAR_INVALIDPARAMERR, "SAR_INVALIDPARAMERR"},
        {SAR_HASHERR, "SAR_HASHERR"},
        {SAR_KEYNOTFOUNTERR, "SAR_KEYNOTFOUNTERR"},
        {SAR_CERTNOTFOUNTERR, "SAR_CERTNOTFOUNTERR"},
        {SAR_BUFFER_TOO_SMALL, "SAR_BUFFER_TOO_SMALL"},
        {SAR_DEVICE_REMOVED, "SAR_DEVICE_REMOVED"},
        {SAR_PIN_INCORRECT, "SAR_PIN_INCORRECT"},
        {SAR_PIN_LOCKED, "SAR_PIN_LOCKED"},
        {SAR_PIN_INVALID, "SAR_PIN_INVALID"},
        {SAR_PIN_LEN_RANGE, "SAR_PIN_LEN_RANGE"},
        {SAR_USER_TYPE_INVALID, "SAR_USER_TYPE_INVALID"},
        {SAR_USER_NOT_LOGGED_IN, "SAR_USER_NOT_LOGGED_IN"},
        {SAR_APPLICATION_NOT_EXISTS, "SAR_APPLICATION_NOT_EXISTS"},
        {SAR_FILE_NOT_EXIST, "SAR_FILE_NOT_EXIST"},
    };
    if (status == kSkfMissingEntryPoint) return "not exported by the library";
    if (status == kSkfMalformedOutput) return "malformed answer of the library";
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", status);
    for (const auto& entry : kNames) {
        if (entry.sar == status) return std::string(entry.name) + " (" + number + ")";
    }
    return std::string("SAR ") + number;
}

std::unique_ptr<SkfLibrary> SkfLibrary::Load(const std::string& path, HRESULT* error) {
    std::unique_ptr<SkfLibrary> library(new SkfLibrary());
    library->library_.reset(LoadSharedLibrary(path.c_str()));
    if (!library->library_) {
        if (error != nullptr) *error = RESULT_FROM_LAST_ERROR(GetLastError());
        return nullptr;
    }
#define SKF_RESOLVE_PROVIDER_ENTRY_POINT(name, type) \
    library->api_.name = reinterpret_cast<type>(GetProcAddress(library->library_.get(), #name));
    SKF_PROVIDER_ENTRY_POINT_LIST(SKF_RESOLVE_PROVIDER_ENTRY_POINT)
#undef SKF_RESOLVE_PROVIDER_ENTRY_POINT
    if (error != nullptr) *error = S_OK;
    return library;
}

ULONG SkfLibrary::EnumDevices(std::vector<std::string>* names) const {
    return ReadNameList<BOOL>(api_.SKF_EnumDev, TRUE, names);
}

ULONG SkfLibrary::Connect(const std::string& device, Handle* handle) const {
    handle->reset();
    if (api_.SKF_ConnectDev == nullptr || api_.SKF_DisConnectDev == nullptr)
        return kSkfMissingEntryPoint;
    std::string name = device;
    DEVHANDLE raw = nullptr;
    const ULONG status = api_.SKF_ConnectDev(name.data(), &raw);
    if (status == SAR_OK) *handle = Owned(raw, api_.SKF_DisConnectDev);
    return status;
}

ULONG SkfLibrary::DeviceInfo(HANDLE device, std::string* label, std::string* serial) const {
    if (api_.SKF_GetDevInfo == nullptr) return kSkfMissingEntryPoint;
    // Room for the larger record of libraries built with an 8-byte ULONG.
    std::vector<uint8_t> buffer(kDevInfoBufferSize, 0);
    const ULONG status = api_.SKF_GetDevInfo(device, reinterpret_cast<DEVINFO*>(buffer.data()));
    if (status != SAR_OK) return status;
    if (label != nullptr)
        *label = FieldText(buffer.data() + offsetof(DEVINFO, Label), sizeof(DEVINFO::Label));
    if (serial != nullptr)
        *serial = FieldText(buffer.data() + kDevInfoSerialOffset, kDevInfoSerialSize);
    return SAR_OK;
}

ULONG SkfLibrary::EnumApplications(HANDLE device, std::vector<std::string>* names) const {
    return ReadNameList<DEVHANDLE>(api_.SKF_EnumApplication, device, names);
}

ULONG SkfLibrary::OpenApplication(HANDLE device, const std::string& name, Handle* handle) const {
    return OpenByName(api_.SKF_OpenApplication, api_.SKF_CloseApplication, device, name, handle);
}

ULONG SkfLibrary::EnumContainers(HANDLE application, std::vector<std::string>* names) const {
    return ReadNameList<HAPPLICATION>(api_.SKF_EnumContainer, application, names);
}

ULONG SkfLibrary::OpenContainer(HANDLE application, const std::string& name, Handle* handle) const {
    return OpenByName(api_.SKF_OpenContainer, api_.SKF_CloseContainer, application, name, handle);
}

ULONG SkfLibrary::ContainerType(HANDLE container, ULONG* type) const {
    if (api_.SKF_GetContainerType == nullptr) return kSkfMissingEntryPoint;
    UlongOut value;
    const ULONG status = api_.SKF_GetContainerType(container, &value.value);
    *type = value.value;
    return status;
}

ULONG SkfLibrary::ExportCertificate(HANDLE container, bool sign, std::vector<uint8_t>* der) const {
    der->clear();
    if (api_.SKF_ExportCertificate == nullptr) return kSkfMissingEntryPoint;
    UlongOut size;
    ULONG status = api_.SKF_ExportCertificate(container, sign ? TRUE : FALSE, nullptr, &size.value);
    if (status != SAR_OK) return status;
    if (size.value > kMaxCertificateSize) return kSkfMalformedOutput;
    if (size.value == 0) return SAR_OK;  // no certificate
    std::vector<uint8_t> buffer(size.value + kHeadroom, 0);
    UlongOut filled;
    filled.value = size.value;
    status =
        api_.SKF_ExportCertificate(container, sign ? TRUE : FALSE, buffer.data(), &filled.value);
    if (status != SAR_OK) return status;
    if (filled.value > size.value) return kSkfMalformedOutput;
    der->assign(buffer.begin(), buffer.begin() + filled.value);
    return SAR_OK;
}

ULONG SkfLibrary::ExportPublicKey(HANDLE container, bool sign, ECCPUBLICKEYBLOB* key) const {
    std::memset(key, 0, sizeof *key);
    if (api_.SKF_ExportPublicKey == nullptr) return kSkfMissingEntryPoint;
    UlongOut size;
    ULONG status = api_.SKF_ExportPublicKey(container, sign ? TRUE : FALSE, nullptr, &size.value);
    if (status != SAR_OK) return status;
    if (size.value != sizeof(ECCPUBLICKEYBLOB)) return kSkfMalformedOutput;
    std::vector<uint8_t> buffer(size.value + kHeadroom, 0);
    UlongOut filled;
    filled.value = size.value;
    status = api_.SKF_ExportPublicKey(container, sign ? TRUE : FALSE, buffer.data(), &filled.value);
    if (status != SAR_OK) return status;
    if (filled.value != sizeof(ECCPUBLICKEYBLOB)) return kSkfMalformedOutput;
    std::memcpy(key, buffer.data(), sizeof *key);
    return SAR_OK;
}

ULONG SkfLibrary::DigestInit(HANDLE device, const ECCPUBLICKEYBLOB& key, const std::string& id,
                             Handle* hash) const {
    hash->reset();
    if (api_.SKF_DigestInit == nullptr) return kSkfMissingEntryPoint;
    ECCPUBLICKEYBLOB key_copy = key;
    std::vector<BYTE> id_bytes(id.begin(), id.end());
    HANDLE raw = nullptr;
    const ULONG status = api_.SKF_DigestInit(device, SGD_SM3, &key_copy,
                                             id_bytes.empty() ? nullptr : id_bytes.data(),
                                             static_cast<ULONG>(id_bytes.size()), &raw);
    if (status == SAR_OK) *hash = Owned(raw, api_.SKF_CloseHandle);
    return status;
}

ULONG SkfLibrary::DigestUpdate(HANDLE hash, const uint8_t* data, size_t size) const {
    if (api_.SKF_DigestUpdate == nullptr) return kSkfMissingEntryPoint;
    return api_.SKF_DigestUpdate(hash, const_cast<BYTE*>(data), static_cast<ULONG>(size));
}

ULONG SkfLibrary::DigestFinal(HANDLE hash, std::vector<uint8_t>* digest) const {
    digest->clear();
    if (api_.SKF_DigestFinal == nullptr) return kSkfMissingEntryPoint;
    UlongOut size;
    ULONG status = api_.SKF_DigestFinal(hash, nullptr, &size.value);
    if (status != SAR_OK) return status;
    if (size.value == 0 || size.value > kMaxDigestSize) return kSkfMalformedOutput;
    std::vector<uint8_t> buffer(size.value + kHeadroom, 0);
    UlongOut filled;
    filled.value = size.value;
    status = api_.SKF_DigestFinal(hash, buffer.data(), &filled.value);
    if (status != SAR_OK) return status;
    if (filled.value == 0 || filled.value > size.value) return kSkfMalformedOutput;
    digest->assign(buffer.begin(), buffer.begin() + filled.value);
    return SAR_OK;
}

ULONG SkfLibrary::SignDigest(HANDLE container, const std::vector<uint8_t>& digest,
                             ECCSIGNATUREBLOB* signature) const {
    std::memset(signature, 0, sizeof *signature);
    if (api_.SKF_ECCSignData == nullptr) return kSkfMissingEntryPoint;
    std::vector<BYTE> data(digest);
    return api_.SKF_ECCSignData(container, data.data(), static_cast<ULONG>(data.size()), signature);
}

ULONG SkfLibrary::VerifyUserPin(HANDLE application, const std::string& pin, int* retries) const {
    *retries = -1;
    if (api_.SKF_VerifyPIN == nullptr) return kSkfMissingEntryPoint;
    std::vector<char> text(pin.begin(), pin.end());
    text.push_back(0);
    UlongOut count;
    count.value = kNoRetryCount;  // tells "not reported" from a count of 0
    const ULONG status = api_.SKF_VerifyPIN(application, USER_TYPE, text.data(), &count.value);
    OPENSSL_cleanse(text.data(), text.size());
    if (count.value <= kMaxRetryCount) *retries = static_cast<int>(count.value);
    return status;
}
