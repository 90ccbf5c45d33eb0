// Consent per site: the origins a person has always allowed, and the questions still open.
//
// With one matching certificate the host picks it without a dialog, and a key without a password
// signs without a prompt, so without this any https page could sign in silence.

export const kAllowedOriginsKey = 'allowedOrigins';

export const Decision = Object.freeze({
    kOnce: 'once',
    kAlways: 'always',
    kDeny: 'deny',
});

/** The always-allowed origins, kept in an extension storage area (storage.local). */
export class ConsentStore {
    /** @param {{get: Function, set: Function}} area a StorageArea of the extension API */
    constructor(area) {
        this.area_ = area;
    }

    /** @returns {Promise<string[]>} the allowed origins, sorted */
    async list() {
        const stored = await this.area_.get(kAllowedOriginsKey);
        const origins = stored?.[kAllowedOriginsKey];
        return Array.isArray(origins) ? origins.filter((o) => typeof o === 'string') : [];
    }

    async isAllowed(origin) {
        return (await this.list()).includes(origin);
    }

    async allow(origin) {
        const origins = new Set(await this.list());
        origins.add(origin);
        await this.area_.set({[kAllowedOriginsKey]: [...origins].sort()});
    }

    async revoke(origin) {
        const origins = (await this.list()).filter((o) => o !== origin);
        await this.area_.set({[kAllowedOriginsKey]: origins});
    }
}

/** The origins that were in `before` and are no longer in `after` (a storage change). */
export function revokedOrigins(before, after) {
    const kept = new Set(Array.isArray(after) ? after : []);
    return (Array.isArray(before) ? before : []).filter((o) => !kept.has(o));
}

/**
 * The open consent questions. One window per origin at a time: a page that connects again while
 * its question is open waits for the same answer instead of opening a second window.
 */
export class ConsentPrompts {
    /**
     * @param {(origin: string, promptId: string) => Promise<number|undefined>} openWindow shows
     *     the question and resolves with the window's id
     */
    constructor(openWindow) {
        this.openWindow_ = openWindow;
        this.byOrigin_ = new Map();  // origin -> {promptId, windowId, promise, resolve}
        this.nextId_ = 1;
    }

    /** @returns {Promise<string>} one of Decision's values */
    ask(origin) {
        const open = this.byOrigin_.get(origin);
        if (open) return open.promise;
        const prompt = {promptId: `p${this.nextId_++}`, windowId: undefined};
        prompt.promise = new Promise((resolve) => {
            prompt.resolve = resolve;
        });
        this.byOrigin_.set(origin, prompt);
        this.openWindow_(origin, prompt.promptId)
            .then((windowId) => {
                prompt.windowId = windowId;
            })
            .catch(() => this.settle_(origin, prompt, Decision.kDeny));
        return prompt.promise;
    }

    /** The consent window answered. Returns false for an id that is not open (stale or forged). */
    answer(promptId, decision) {
        for (const [origin, prompt] of this.byOrigin_) {
            if (prompt.promptId !== promptId) continue;
            const known = Object.values(Decision).includes(decision);
            this.settle_(origin, prompt, known ? decision : Decision.kDeny);
            return true;
        }
        return false;
    }

    /** The origin a prompt asks about, for the consent window to show. */
    originOf(promptId) {
        for (const [origin, prompt] of this.byOrigin_) {
            if (prompt.promptId === promptId) return origin;
        }
        return undefined;
    }

    /** A window was closed: closing the question without an answer denies. */
    windowClosed(windowId) {
        for (const [origin, prompt] of this.byOrigin_) {
            if (prompt.windowId === windowId) this.settle_(origin, prompt, Decision.kDeny);
        }
    }

    settle_(origin, prompt, decision) {
        if (this.byOrigin_.get(origin) === prompt) this.byOrigin_.delete(origin);
        prompt.resolve(decision);
    }
}
