// One native messaging port to tessora-host, and the matching of its answers to requests.
//
// The host reads one request, writes exactly one answer, and only then reads the next, so answers
// arrive in request order. Two of its answers (to a request it cannot parse, or one without
// "params") carry no randomId, so matching by randomId alone could leave a request unanswered:
// the channel matches by order instead, first in, first out.

export const kHostName = 'org.tessora.host';

/** Error codes the page library turns into TessoraError codes. */
export const ErrorCode = Object.freeze({
    kExtensionMissing: 'EXTENSION_MISSING',
    kHostMissing: 'HOST_MISSING',
    kNotAllowed: 'NOT_ALLOWED',
    kInsecureOrigin: 'INSECURE_ORIGIN',
    kDisconnected: 'DISCONNECTED',
    kProtocol: 'PROTOCOL_ERROR',
});

export class ChannelError extends Error {
    constructor(code, message) {
        super(message);
        this.code = code;
    }
}

export class HostChannel {
    /**
     * @param {object} port a native Port from runtime.connectNative
     * @param {() => (string|undefined)} lastError reads the error of a disconnect
     *     (runtime.lastError in Chrome, port.error in Firefox)
     */
    constructor(port, lastError) {
        this.port_ = port;
        this.pending_ = [];
        this.ended_ = null;
        this.endListeners_ = [];
        port.onMessage.addListener((message) => this.onAnswer_(message));
        port.onDisconnect.addListener(() => {
            const reason = lastError(port) || 'the signing host ended';
            this.end_(new ChannelError(ErrorCode.kDisconnected, reason));
        });
    }

    get ended() {
        return this.ended_ !== null;
    }

    /** Sends one request; resolves with the host's answer to it. */
    send(message) {
        if (this.ended_) return Promise.reject(this.ended_);
        return new Promise((resolve, reject) => {
            this.pending_.push({resolve, reject});
            try {
                this.port_.postMessage(message);
            } catch (e) {
                // The port refused the message (too large, or already closed): nothing was sent,
                // so this request leaves the queue and the channel carries on.
                this.pending_.pop();
                reject(new ChannelError(ErrorCode.kProtocol, String(e?.message ?? e)));
            }
        });
    }

    /**
     * Confirms that the host started: the browser reports a missing or broken host only by
     * disconnecting, so a harmless first request tells the two cases apart.
     * @returns {Promise<string>} the host's version
     */
    async probe() {
        try {
            const answer = await this.send({function: 'GetVersion', params: [], randomId: 'probe'});
            return typeof answer?.result === 'string' ? answer.result : '';
        } catch (e) {
            throw new ChannelError(ErrorCode.kHostMissing,
                                   `The signing host could not be started: ${e.message}`);
        }
    }

    /** Called once when the host goes away by itself (not after close()). */
    onEnded(listener) {
        this.endListeners_.push(listener);
    }

    /** Ends the host: closing its standard input makes it leave its message loop. */
    close() {
        if (this.ended_) return;
        this.port_.disconnect();
        this.end_(new ChannelError(ErrorCode.kDisconnected, 'the session was closed'), false);
    }

    onAnswer_(message) {
        const waiter = this.pending_.shift();
        if (!waiter) return;  // an answer nobody asked for: the host is not ours to trust
        waiter.resolve(message);
    }

    end_(error, notify = true) {
        if (this.ended_) return;
        this.ended_ = error;
        for (const waiter of this.pending_.splice(0)) waiter.reject(error);
        if (notify) for (const listener of this.endListeners_) listener(error);
    }
}
