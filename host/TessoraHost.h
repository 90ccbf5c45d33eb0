// Process entry and the message loop of the native messaging host.
#pragma once

class CCryptoAgent;

// The one crypto agent; set by wmain before the message loop, null outside it.
extern CCryptoAgent* g_pobjCryptoAgent;

// Prepares the process (tracing, resources, the agent, the protocol descriptors), serves
// requests until input ends and returns the exit code: 0 after end of input, -1 after a failed
// write, or errno of a failed read. The arguments are not used.
int wmain(int argc, char* argv[]);

// Reads, answers and writes frames until input ends. Returns 0 at end of input, otherwise the
// non-zero result of the read or write that failed.
int MsgHandleProc();

// Turns one request text into one response text (release with free). Always returns 0 and
// always stores a response.
int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg);
