// The background's bookkeeping: one link per page, and one host process per link.
//
// A page reaches the background through its content script's port; that port lives exactly as
// long as the page's document. The host process belongs to that port, so the certificate a page
// chose ends with the page: navigating away or closing the tab disconnects the content port, the
// broker disconnects the native port, and the host's standard input closes. Only the top frame
// runs the content script, so a tab holds at most one link, and two tabs never share a host.

import {classifyPage} from './origin.js';
import {Decision} from './consent.js';
import {ChannelError, ErrorCode, HostChannel, kHostName} from './host-channel.js';

export const kPagePortName = 'tessora-page';

export class Broker {
    /**
     * @param {object} deps
     * @param {(name: string) => object} deps.connectNative runtime.connectNative
     * @param {(port: object) => (string|undefined)} deps.lastError the error of a disconnect
     * @param {import('./consent.js').ConsentStore} deps.consent
     * @param {import('./consent.js').ConsentPrompts} deps.prompts
     */
    constructor({connectNative, lastError, consent, prompts}) {
        this.connectNative_ = connectNative;
        this.lastError_ = lastError;
        this.consent = consent;
        this.prompts = prompts;
        this.links_ = new Map();  // tabId -> PageLink
    }

    /** Starts a host process (the browser starts it when the native port opens). */
    startHost() {
        return new HostChannel(this.connectNative_(kHostName), this.lastError_);
    }

    /** A content script connected (runtime.onConnect). */
    attach(port) {
        const tabId = port.sender?.tab?.id;
        if (port.name !== kPagePortName || tabId === undefined) return;
        // A new document in the same tab replaces the old one even if the old port's disconnect
        // has not arrived yet: the old page's host must not outlive it.
        this.links_.get(tabId)?.close();
        const link = new PageLink(this, port, tabId);
        this.links_.set(tabId, link);
        port.onDisconnect.addListener(() => {
            link.close();
            if (this.links_.get(tabId) === link) this.links_.delete(tabId);
        });
    }

    /** The tab went away (tabs.onRemoved): a backstop to the content port's disconnect. */
    tabRemoved(tabId) {
        this.links_.get(tabId)?.close();
        this.links_.delete(tabId);
    }

    /** Origins lost their "always allow": their hosts end now, and they will be asked again. */
    revoked(origins) {
        const gone = new Set(origins);
        for (const link of this.links_.values()) {
            if (gone.has(link.origin)) link.revoke();
        }
    }

    /** How many pages have a running host (for diagnostics and tests). */
    get hostCount() {
        let count = 0;
        for (const link of this.links_.values()) count += link.host && !link.host.ended ? 1 : 0;
        return count;
    }
}

class PageLink {
    constructor(broker, port, tabId) {
        this.broker_ = broker;
        this.port_ = port;
        this.tabId = tabId;
        this.page_ = classifyPage(port.sender?.url);
        this.origin = this.page_.origin;
        this.grant_ = null;  // null, Decision.kOnce, Decision.kAlways or Decision.kDeny
        this.host = null;
        this.closed_ = false;
        this.connecting_ = Promise.resolve();
        port.onMessage.addListener((message) => this.onPageMessage_(message));
    }

    close() {
        this.closed_ = true;
        this.host?.close();
        this.host = null;
    }

    revoke() {
        this.grant_ = null;
        if (!this.host) return;
        this.host.close();
        this.host = null;
        this.post_({type: 'disconnected', code: ErrorCode.kNotAllowed,
                    message: 'Signing was revoked for this site.'});
    }

    async onPageMessage_(message) {
        const id = message?.id;
        try {
            switch (message?.type) {
                case 'connect':
                    this.post_({id, type: 'connected', version: await this.connect_()});
                    break;
                case 'request':
                    this.post_({id, type: 'answer', message: await this.request_(message.message)});
                    break;
                case 'close':
                    this.host?.close();
                    this.host = null;
                    this.post_({id, type: 'closed'});
                    break;
                default:
                    throw new ChannelError(ErrorCode.kProtocol, 'unknown message');
            }
        } catch (e) {
            const code = e instanceof ChannelError ? e.code : ErrorCode.kProtocol;
            this.post_({id, type: 'error', code, message: String(e?.message ?? e)});
        }
    }

    // Connects run one after the other, so two sessions of a page that connect at once share one
    // question and one host instead of starting two.
    connect_() {
        const run = () => this.connectNow_();
        const result = this.connecting_.then(run, run);
        this.connecting_ = result.catch(() => {});
        return result;
    }

    async connectNow_() {
        if (!this.page_.allowed) throw new ChannelError(ErrorCode.kInsecureOrigin, this.page_.reason);
        await this.authorize_();
        if (this.closed_) throw new ChannelError(ErrorCode.kDisconnected, 'the page went away');
        if (!this.host || this.host.ended) {
            const host = this.broker_.startHost();
            this.host = host;
            host.onEnded((error) => {
                if (this.host !== host) return;
                this.host = null;
                this.post_({type: 'disconnected', code: error.code, message: error.message});
            });
            try {
                host.version = await host.probe();
            } catch (e) {
                if (this.host === host) this.host = null;
                throw e;
            }
        }
        return this.host.version;
    }

    async authorize_() {
        if (this.grant_ === Decision.kOnce || this.grant_ === Decision.kAlways) return;
        const refusal = new ChannelError(ErrorCode.kNotAllowed,
                                         `Signing was not allowed for ${this.origin}.`);
        // A page that was denied is not asked again until it is reloaded, so it cannot flood the
        // person with windows.
        if (this.grant_ === Decision.kDeny) throw refusal;
        if (await this.broker_.consent.isAllowed(this.origin)) {
            this.grant_ = Decision.kAlways;
            return;
        }
        const decision = await this.broker_.prompts.ask(this.origin);
        if (decision === Decision.kAlways) await this.broker_.consent.allow(this.origin);
        this.grant_ = decision;
        if (decision === Decision.kDeny) throw refusal;
    }

    async request_(message) {
        if (!this.host) {
            throw new ChannelError(ErrorCode.kDisconnected, 'not connected to the signing host');
        }
        return this.host.send(message);
    }

    post_(message) {
        if (this.closed_) return;
        try {
            this.port_.postMessage(message);
        } catch {
            // The page went away between the question and the answer.
        }
    }
}
