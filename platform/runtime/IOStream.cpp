#include "platform/runtime/IOStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/Trace.h"

static constexpr char kUnit[] = "IOStream";

namespace {

int g_protocol_input = STDIN_FILENO;
int g_protocol_output = STDOUT_FILENO;
bool g_serves_native_messaging = false;

// Waits until `fd` is ready for `events`; used only for a descriptor that was handed to us in
// non-blocking mode, where read and write report EAGAIN instead of waiting.
void WaitReady(int fd, short events) {
    struct pollfd pfd {};
    pfd.fd = fd;
    pfd.events = events;
    while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
}

// One read call as the framing sees it: a signal or a non-blocking descriptor never shows.
ssize_t ReadOnce(int fd, void* buffer, size_t count) {
    for (;;) {
        ssize_t n = read(fd, buffer, count);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitReady(fd, POLLIN);
            continue;
        }
        return -1;
    }
}

// Writes all the bytes of `parts`; a pipe may take a large frame in several pieces, each
// writev continuing where the previous one stopped.
bool WriteAll(int fd, struct iovec* parts, int count) {
    while (count > 0) {
        ssize_t n =
            count == 1 ? write(fd, parts->iov_base, parts->iov_len) : writev(fd, parts, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            WaitReady(fd, POLLOUT);
            continue;
        }
        if (n <= 0) return false;
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return true;
}

// A pipe holds 64 KiB unless asked for more, so a message of megabytes would cross it in
// dozens of turns between writer and reader. Before the first large frame in either direction
// the pipe is widened to 1 MiB, the most an unprivileged process may ask for by default. On a
// file or a terminal, or beyond the system's limit, the request fails and nothing changes.
constexpr size_t kLargeFrame = 64 * 1024;
constexpr int kWidePipeSize = 1024 * 1024;

void WidenPipeOnce(int fd, size_t frame_size, bool* widened) {
    if (*widened || frame_size <= kLargeFrame) return;
    *widened = true;
    if (fcntl(fd, F_SETPIPE_SZ, kWidePipeSize) < 0)
        TRACE_INFO("WidenPipeOnce: descriptor %d keeps its size (errno %d)", fd, errno);
}

// Frames up to this size go out from a copy on the stack.
constexpr size_t kSmallFrame = 4096;

bool g_input_widened = false;
bool g_output_widened = false;

}  // namespace

int OpenProtocolDescriptors() {
    TRACE_SCOPE_A();
    int nResult = 0;
    int nNullFd = -1;

    g_protocol_input = STDIN_FILENO;
    g_serves_native_messaging = true;
    // Above the standard three, so that nothing mistakes it for one of them.
    g_protocol_output = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (g_protocol_output < 0) {
        FAILED_STEP(kUnit, "fcntl(stdout, F_DUPFD_CLOEXEC)", errno, "-1 == nProtocolOutput");
        nResult = -1;
    } else {
        OK_STEP(kUnit, "fcntl(stdout, F_DUPFD_CLOEXEC)");
    }

    // Even when the duplicate failed fd 1 is filled, so that a later open cannot land on it.
    nNullFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nNullFd < 0) {
        FAILED_STEP(kUnit, "open(/dev/null)", errno, "-1 == nNullFd");
        goto Exit;
    }
    OK_STEP(kUnit, "open(/dev/null)");
    if (nNullFd != STDOUT_FILENO) {
        if (dup2(nNullFd, STDOUT_FILENO) < 0) {
            FAILED_STEP(kUnit, "dup2(/dev/null, stdout)", errno, "-1 == dup2");
            goto Exit;
        }
        OK_STEP(kUnit, "dup2(/dev/null, stdout)");
    }

Exit:
    if (nNullFd > STDERR_FILENO) close(nNullFd);
    return nResult;
}

int ProtocolInputDescriptor() { return g_protocol_input; }
int ProtocolOutputDescriptor() { return g_protocol_output; }
bool ServesNativeMessaging() { return g_serves_native_messaging; }

int SetTranslationMode(int nMode) {
    TRACE_SCOPE_A();
    TRACE_INFO("SetTranslationMode: nMode = 0x%x", static_cast<unsigned>(nMode));
    OK_STEP(kUnit, "Check Parameters(nMode)");
    // POSIX descriptors have no text mode: both switches have nothing to do and succeed.
    OK_STEP(kUnit, "_setmode(stdin)");
    TRACE_INFO("SetTranslationMode: previous mode of stdin = 0x%x",
               static_cast<unsigned>(kTranslationModeBinary));
    OK_STEP(kUnit, "_setmode(stdout)");
    TRACE_INFO("SetTranslationMode: previous mode of stdout = 0x%x",
               static_cast<unsigned>(kTranslationModeBinary));
    return 0;
}

int ReadFromNativeMessaging(char** ppszInputMsg, int nFd, uint32_t* pdwInputMsgLength) {
    TRACE_SCOPE_A();
    int nResult = 0;
    uint8_t byLength[4] = {0, 0, 0, 0};
    size_t nPrefixRead = 0;
    uint32_t dwLength = 0;
    char* pszInputMsg = nullptr;
    size_t nOffset = 0;
    size_t nRemaining = 0;

    if (ppszInputMsg != nullptr) *ppszInputMsg = nullptr;
    if (pdwInputMsgLength != nullptr) *pdwInputMsgLength = 0;

    // A pipe may deliver the prefix in pieces: complete it. Input that ends (or fails) before
    // the four bytes are complete carries no message and ends the loop like end of input.
    while (nPrefixRead < sizeof byLength) {
        ssize_t n = ReadOnce(nFd, byLength + nPrefixRead, sizeof byLength - nPrefixRead);
        if (n <= 0) {
            if (n < 0)
                TRACE_ERROR("ReadFromNativeMessaging: read of the length failed, errno %d", errno);
            TRACE_INFO("ReadFromNativeMessaging: no message (%zu bytes of the length read)",
                       nPrefixRead);
            goto Exit;
        }
        nPrefixRead += static_cast<size_t>(n);
    }

    // Little-endian whatever the host's own byte order.
    dwLength = static_cast<uint32_t>(byLength[0]) | (static_cast<uint32_t>(byLength[1]) << 8) |
               (static_cast<uint32_t>(byLength[2]) << 16) |
               (static_cast<uint32_t>(byLength[3]) << 24);
    if (0 == dwLength || 0xFFFFFFFFu == dwLength) {
        TRACE_INFO("ReadFromNativeMessaging: no message (length 0x%08x)", dwLength);
        goto Exit;
    }
    TRACE_INFO("ReadFromNativeMessaging: length %u", dwLength);

    // calloc hands out zeroed pages without touching them, so a large announced length costs
    // nothing until its bytes really arrive.
    pszInputMsg = static_cast<char*>(calloc(static_cast<size_t>(dwLength) + 1, 1));
    if (!pszInputMsg) {
        FAILED_STEP(kUnit, "New memory", -1, "!pszInputMsg");
        nResult = -1;
        goto Exit;
    }
    OK_STEP(kUnit, "New memory");

    WidenPipeOnce(nFd, dwLength, &g_input_widened);
    nRemaining = dwLength;
    while (nRemaining != 0) {
        ssize_t n = ReadOnce(nFd, pszInputMsg + nOffset, nRemaining);
        if (n < 0) {
            nResult = errno;
            TRACE_ERROR("ReadFromNativeMessaging: read failed, errno %d", nResult);
            goto Exit;
        }
        if (n == 0) {
            // The sender went away in the middle of a message: nothing more will come.
            TRACE_INFO("ReadFromNativeMessaging: end of input inside a message (%zu of %u bytes)",
                       nOffset, dwLength);
            goto Exit;
        }
        nRemaining -= static_cast<size_t>(n);
        nOffset += static_cast<size_t>(n);
    }

    if (ppszInputMsg != nullptr) {
        *ppszInputMsg = pszInputMsg;
        pszInputMsg = nullptr;
    }
    if (pdwInputMsgLength != nullptr) *pdwInputMsgLength = dwLength;

Exit:
    free(pszInputMsg);
    return nResult;
}

int WriteToNativeMessaging(const char* pszOutputMsg, int nFd) {
    TRACE_SCOPE_A();
    int nResult = -1;
    size_t nLength = 0;
    uint8_t byLength[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    struct iovec stParts[2] = {};
    int nParts = 2;
    uint8_t bySmallFrame[kSmallFrame];

    if (NULL == pszOutputMsg) {
        FAILED_STEP(kUnit, "Check Parameters(pszOutputMsg)", -1, "NULL == pszOutputMsg");
        goto Exit;
    }
    nLength = strlen(pszOutputMsg);
    stParts[0].iov_base = byLength;
    stParts[0].iov_len = sizeof byLength;

    if (nLength > kMaxResponseLength) {
        // The sentinel length FF FF FF FF tells the reader that no message follows.
        if (WriteAll(nFd, stParts, 1)) {
            OK_STEP(kUnit, "write");
        } else {
            FAILED_STEP(kUnit, "write", -1, "nWriteSize != nWriteBufSize");
        }
        goto Exit;  // -1 either way: the response was not delivered
    }

    byLength[0] = static_cast<uint8_t>(nLength);
    byLength[1] = static_cast<uint8_t>(nLength >> 8);
    byLength[2] = static_cast<uint8_t>(nLength >> 16);
    byLength[3] = static_cast<uint8_t>(nLength >> 24);
    if (nLength <= sizeof bySmallFrame - sizeof byLength) {
        // A short answer is cheaper copied behind its length than gathered by writev.
        memcpy(bySmallFrame, byLength, sizeof byLength);
        memcpy(bySmallFrame + sizeof byLength, pszOutputMsg, nLength);
        stParts[0].iov_base = bySmallFrame;
        stParts[0].iov_len = sizeof byLength + nLength;
        nParts = 1;
    } else {
        stParts[1].iov_base = const_cast<char*>(pszOutputMsg);
        stParts[1].iov_len = nLength;
        WidenPipeOnce(nFd, nLength, &g_output_widened);
    }

    // One frame per call, straight to the descriptor, no stream buffer to flush; a long text is
    // gathered behind its length by writev rather than copied.
    if (!WriteAll(nFd, stParts, nParts)) {
        FAILED_STEP(kUnit, "write", -1, "nWriteSize != nWriteBufSize");
        goto Exit;
    }
    OK_STEP(kUnit, "write");
    nResult = 0;

Exit:
    return nResult;
}
