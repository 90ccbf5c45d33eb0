// The PIN prompt that key stores ask through when a key is about to be used (a token or a USB key
// that needs a login). The dialog layer registers a real prompt; until one is registered the
// prompt answers "cancelled" at once: it never blocks and never reads a terminal.
#pragma once

#include <functional>
#include <string>
#include <string_view>

enum class PinPromptResult {
    kOk,         // *pin holds the PIN the user entered (UTF-8)
    kCancelled,  // the user declined (or there is no prompt)
};

struct PinPromptRequest {
    std::string token_name;  // UTF-8 name of the token or device, as shown to the user
    int retries_left = -1;   // attempts left before the PIN locks; -1 when unknown
    bool previous_attempt_failed = false;  // the last PIN given for this token was wrong
};

using PinPromptCallback = std::function<PinPromptResult(const PinPromptRequest&, std::string* pin)>;

// Installs a prompt (an empty callback restores the default) and returns the previous one.
PinPromptCallback SetPinPrompt(PinPromptCallback callback);

// Asks the installed prompt. The caller wipes *pin (OPENSSL_cleanse) once it has used it.
PinPromptResult AskForPin(const PinPromptRequest& request, std::string* pin);
