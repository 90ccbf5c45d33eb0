// The extension's background (a service worker in the Chromium family, an event page in Firefox):
// wires the browser's events to the broker, which keeps one signing host per page.

import {Broker} from './lib/broker.js';
import {ConsentPrompts, ConsentStore, kAllowedOriginsKey, revokedOrigins} from './lib/consent.js';

const api = globalThis.browser ?? globalThis.chrome;

const consent = new ConsentStore(api.storage.local);
const prompts = new ConsentPrompts(async (origin, promptId) => {
    const url = api.runtime.getURL(`consent.html?prompt=${encodeURIComponent(promptId)}`);
    const window = await api.windows.create({url, type: 'popup', width: 480, height: 340});
    return window.id;
});
const broker = new Broker({
    connectNative: (name) => api.runtime.connectNative(name),
    // Chrome reports why a native port closed in runtime.lastError during onDisconnect, Firefox
    // in the port's error property.
    lastError: (port) => port.error?.message ?? api.runtime.lastError?.message,
    consent,
    prompts,
});

api.runtime.onConnect.addListener((port) => broker.attach(port));
api.tabs.onRemoved.addListener((tabId) => broker.tabRemoved(tabId));
api.windows.onRemoved.addListener((windowId) => prompts.windowClosed(windowId));
api.storage.onChanged.addListener((changes, area) => {
    const change = changes[kAllowedOriginsKey];
    if (area !== 'local' || !change) return;
    broker.revoked(revokedOrigins(change.oldValue, change.newValue));
});

// Messages of the extension's own pages (the consent window). Content scripts share the
// extension's id, so the sender's URL decides.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
    if (sender.id !== api.runtime.id || !sender.url?.startsWith(api.runtime.getURL('consent.html'))) {
        return false;
    }
    switch (message?.type) {
        case 'consent-question':
            sendResponse({origin: prompts.originOf(message.prompt) ?? null});
            break;
        case 'consent-answer':
            sendResponse({accepted: prompts.answer(message.prompt, message.decision)});
            break;
        default:  // 'keepalive': an event is enough to keep the service worker running
            sendResponse({});
    }
    return false;
});
