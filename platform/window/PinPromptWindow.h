// The PIN prompt behind the platform's PIN hook: a small modal window with the token's name, a
// masked entry, the attempts left when the token reports them, OK and Cancel. It serves every key
// store that asks through AskForPin (NSS tokens, USB keys).
#pragma once

#include <string>

#include "platform/window/PinPrompt.h"

// Shows the prompt and waits for the user. kOk puts the entered PIN (UTF-8) into *pin; Cancel,
// Escape, the close box and a missing display answer kCancelled. The window's own copy of the
// PIN lives in wiped-on-release memory and is cleared before the window goes.
PinPromptResult ShowPinPromptWindow(const PinPromptRequest& request, std::string* pin);
