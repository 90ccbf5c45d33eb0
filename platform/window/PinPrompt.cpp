#include "platform/window/PinPrompt.h"

#include <utility>

namespace {
PinPromptCallback& InstalledPrompt() {
    static PinPromptCallback prompt;
    return prompt;
}
}  // namespace

PinPromptCallback SetPinPrompt(PinPromptCallback callback) {
    return std::exchange(InstalledPrompt(), std::move(callback));
}

PinPromptResult AskForPin(const PinPromptRequest& request, std::string* pin) {
    if (pin == nullptr) return PinPromptResult::kCancelled;
    pin->clear();
    const PinPromptCallback& prompt = InstalledPrompt();
    if (!prompt) return PinPromptResult::kCancelled;  // no prompt registered: decline at once
    return prompt(request, pin);
}
