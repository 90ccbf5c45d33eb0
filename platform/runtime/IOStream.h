// Native messaging framing: each message is a 32-bit little-endian length followed by that many
// bytes of UTF-8 JSON text (Chrome's native messaging protocol).
#pragma once

#include <cstdint>

// The translation mode the host asks for: no byte of a frame may be translated.
constexpr int kTranslationModeBinary = 0x8000;
// The longest response text a frame may carry (exactly this many bytes is allowed).
constexpr uint32_t kMaxResponseLength = 1048576;

// Takes standard output away from everyone but the framing: fd 1 is duplicated into a private
// close-on-exec protocol descriptor and then pointed at /dev/null, so a library that prints
// cannot corrupt the frames. Returns 0, or -1 when fd 1 could not be duplicated (the protocol
// output is then unusable and every write fails).
int OpenProtocolDescriptors();
// The descriptors the message loop reads requests from and writes responses to.
int ProtocolInputDescriptor();
int ProtocolOutputDescriptor();
// Whether OpenProtocolDescriptors ran: this process serves a browser over its standard streams,
// and a hang-up of the protocol input means the browser has gone.
bool ServesNativeMessaging();

// Switches standard input and standard output to `nMode`. POSIX descriptors carry bytes as they
// are, so there is nothing to switch; returns 0.
int SetTranslationMode(int nMode);

// Reads one frame from `nFd`. On 0 with a non-zero length, *ppszInputMsg is a new NUL-terminated
// buffer of length + 1 bytes (release with free). End of input, a length of 0 or 0xFFFFFFFF, and
// end of input inside the body all give 0 with length 0 and a null text. Returns -1 when no
// buffer could be obtained, or errno of a failed read of the body.
int ReadFromNativeMessaging(char** ppszInputMsg, int nFd, uint32_t* pdwInputMsgLength);

// Writes `pszOutputMsg` (up to its NUL) as one frame to `nFd`. A text longer than
// kMaxResponseLength is not sent: the four bytes FF FF FF FF go out instead and -1 is returned.
// Returns 0 on success, -1 on any failure.
int WriteToNativeMessaging(const char* pszOutputMsg, int nFd);
