/*
 * tessora.js: sign with the user's own certificates from a web page, through the Tessora
 * extension and signing host.
 *
 *   const session = await Tessora.connect();
 *   await session.selectCertificate({issuer: 'Example CA'});
 *   const signature = await session.signMsgPKCS7('text to sign', 'SHA-256', false);
 *
 * Load it as a classic script (it defines the globals Tessora and TessoraError) or import
 * tessora.mjs as an ES module. Types: tessora.d.ts. Guide: docs/page-library.md.
 */
(function (root, factory) {
    'use strict';
    const library = factory();
    if (typeof module === 'object' && module && module.exports) module.exports = library;
    if (root && root.window === root) {
        root.Tessora = library.Tessora;
        root.TessoraError = library.TessoraError;
    }
})(typeof globalThis !== 'undefined' ? globalThis : this, function () {
    'use strict';

    const kChannel = 'tessora';
    // Chrome's native messaging limits: a host's message is at most 1 MiB; a message an extension
    // sends is at most 64 MiB. The host ends the session rather than send a larger answer.
    const kMaxAnswerBytes = 1024 * 1024;
    const kMaxRequestBytes = 64 * 1024 * 1024;
    // Room for the request's envelope on its way through the extension.
    const kEnvelopeBytes = 1024;
    // What an attached SignedData holds besides the text: the signer's certificate, the
    // SignerInfo and the DER framing (RFC 2315). Certificates are 1 to 2 KiB in practice.
    const kSignedDataAllowance = 16 * 1024;
    // The host's answer around the signature, with a randomId of up to 64 characters.
    const kAnswerEnvelope =
        '{"function":"SignMsgPKCS7","errorcode":0,"result":"","randomId":""}'.length + 64;
    const kDefaultTimeoutMs = 3000;

    // Result codes of the host's own request handling. They leave the host's last error as it
    // was, so GetLastErrorDesc would describe the operation before: these are described here.
    const kHandlerFailures = new Map([
        [-1, 'The signing host refused the parameters of the request.'],
        [0x8009002d | 0, 'The signing host could not read the request.'],
        [0xa0073204 | 0, 'A parameter of the request has the wrong type.'],
    ]);

    class TessoraError extends Error {
        /**
         * @param {string} code what went wrong, one of TessoraError.codes' values
         * @param {string} message a text for people
         * @param {object} [details] errorcode, hex and functionName of a host failure
         */
        constructor(code, message, details) {
            super(message);
            this.name = 'TessoraError';
            this.code = code;
            if (details) Object.assign(this, details);
        }
    }
    TessoraError.codes = Object.freeze({
        EXTENSION_MISSING: 'EXTENSION_MISSING',
        HOST_MISSING: 'HOST_MISSING',
        NOT_ALLOWED: 'NOT_ALLOWED',
        INSECURE_ORIGIN: 'INSECURE_ORIGIN',
        HOST_ERROR: 'HOST_ERROR',
        TOO_LARGE: 'TOO_LARGE',
        INVALID_ARGUMENT: 'INVALID_ARGUMENT',
        DISCONNECTED: 'DISCONNECTED',
        PROTOCOL_ERROR: 'PROTOCOL_ERROR',
    });
    const codes = TessoraError.codes;

    /** The number of bytes `text` takes in UTF-8 (a lone surrogate becomes U+FFFD, 3 bytes). */
    function utf8Length(text) {
        let bytes = 0;
        for (let i = 0; i < text.length; i++) {
            const unit = text.charCodeAt(i);
            if (unit < 0x80) {
                bytes += 1;
            } else if (unit < 0x800) {
                bytes += 2;
            } else if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < text.length &&
                       (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
                bytes += 4;
                i++;
            } else {
                bytes += 3;
            }
        }
        return bytes;
    }

    /**
     * The largest answer an attached signature of `textBytes` bytes can give. The host encodes
     * the SignedData in Base64 with a CR LF after every 76 characters and at the end, and JSON
     * writes each CR LF as four characters.
     */
    function attachedAnswerBytes(textBytes) {
        const base64 = 4 * Math.ceil((textBytes + kSignedDataAllowance) / 3);
        const lineEnds = Math.floor(base64 / 76) + 1;
        return kAnswerEnvelope + base64 + 4 * lineEnds;
    }

    /** The longest text (in UTF-8 bytes) whose attached signature fits in one host answer. */
    function maxAttachedTextBytes() {
        let low = 0;
        let high = kMaxAnswerBytes;
        while (low < high) {
            const middle = Math.ceil((low + high) / 2);
            if (attachedAnswerBytes(middle) <= kMaxAnswerBytes) {
                low = middle;
            } else {
                high = middle - 1;
            }
        }
        return low;
    }

    function hexOf(errorcode) {
        return '0x' + (errorcode >>> 0).toString(16).padStart(8, '0');
    }

    function randomId() {
        const crypto = typeof globalThis !== 'undefined' ? globalThis.crypto : undefined;
        if (crypto && typeof crypto.randomUUID === 'function') return crypto.randomUUID();
        return Date.now().toString(36) + Math.random().toString(36).slice(2);
    }

    function invalid(message) {
        return new TessoraError(codes.INVALID_ARGUMENT, message);
    }

    function requireString(value, name) {
        if (typeof value !== 'string') throw invalid(`${name} must be a string`);
        return value;
    }

    /**
     * Builds the library over one window: the page's own in a browser, a stand-in in tests.
     * @param {Window} win
     */
    function createTessora(win) {
        let nextId = 1;
        const waiting = new Map();  // message id -> {type, resolve, reject}
        // All sessions of a page share the page's one host process; every close or loss of it
        // starts a new generation, and sessions of an older one are closed.
        let generation = 0;
        // One request in flight per page: the host answers strictly in order, and a failure's
        // description must be fetched before anything else runs on the host.
        let queue = Promise.resolve();

        win.addEventListener('message', (event) => {
            if (event.source !== win) return;
            const data = event.data;
            if (!data || data.channel !== kChannel || data.to !== 'page') return;
            if (data.type === 'disconnected') {
                generation++;
                const error = new TessoraError(data.code || codes.DISCONNECTED,
                                               data.message || 'The signing host ended.');
                for (const [id, waiter] of waiting) {
                    if (waiter.type !== 'request') continue;
                    waiting.delete(id);
                    waiter.reject(error);
                }
                return;
            }
            const waiter = waiting.get(data.id);
            if (!waiter) return;
            waiting.delete(data.id);
            if (data.type === 'error') {
                waiter.reject(new TessoraError(data.code || codes.PROTOCOL_ERROR,
                                               data.message || 'The extension refused.'));
            } else {
                waiter.resolve(data);
            }
        });

        function post(type, message, timeoutMs) {
            const id = `${randomId()}:${nextId++}`;
            return new Promise((resolve, reject) => {
                const waiter = {type, resolve, reject};
                waiting.set(id, waiter);
                if (timeoutMs !== undefined) {
                    setTimeout(() => {
                        if (waiting.get(id) !== waiter) return;
                        waiting.delete(id);
                        reject(new TessoraError(
                            codes.EXTENSION_MISSING,
                            `No Tessora extension answered within ${timeoutMs} ms. ` +
                                'Install the extension, then reload this page.'));
                    }, timeoutMs);
                }
                win.postMessage({channel: kChannel, to: 'extension', id, type, message}, '*');
            });
        }

        function enqueue(task) {
            const result = queue.then(task, task);
            queue = result.catch(() => {});
            return result;
        }

        function checkRequestSize(request) {
            const bytes = utf8Length(JSON.stringify(request));
            if (bytes + kEnvelopeBytes > kMaxRequestBytes) {
                throw new TessoraError(
                    codes.TOO_LARGE,
                    `The request takes ${bytes} bytes; the browser carries at most ` +
                        `${kMaxRequestBytes - kEnvelopeBytes} bytes to the signing host.`);
            }
        }

        class TessoraSession {
            constructor(version, sessionGeneration) {
                this.version = version;
                this.generation_ = sessionGeneration;
            }

            /** True until close() or until the host ends. */
            get open() {
                return this.generation_ === generation;
            }

            /** Sends one request and resolves with the host's raw response object. */
            async call(functionName, params = []) {
                requireString(functionName, 'functionName');
                return enqueue(() => this.exchange_(functionName, params));
            }

            async getVersion() {
                return this.invoke_('GetVersion', []);
            }

            /** @param {string|string[]} list provider names, as an array or as "A||B" */
            async setSM2CSPList(list) {
                if (Array.isArray(list)) {
                    list.forEach((name) => {
                        if (typeof name !== 'string' || name.includes('||')) {
                            throw invalid('each provider name must be a string without "||"');
                        }
                    });
                    list = list.join('||');
                }
                return this.invoke_('SetSM2CSPList', [requireString(list, 'list')]);
            }

            async selectCertificate({subject = '', issuer = '', serial = ''} = {}) {
                return this.invoke_('SelectCertificate', [requireString(subject, 'subject'),
                                                          requireString(issuer, 'issuer'),
                                                          requireString(serial, 'serial')]);
            }

            async getSignCertInfo(type) {
                return this.invoke_('GetSignCertInfo', [requireString(type, 'type')]);
            }

            async signMsgPKCS7(text, hash = 'SHA-256', attached = false) {
                requireString(text, 'text');
                requireString(hash, 'hash');
                if (typeof attached !== 'boolean') throw invalid('attached must be a boolean');
                if (attached) {
                    const bytes = utf8Length(text);
                    if (attachedAnswerBytes(bytes) > kMaxAnswerBytes) {
                        throw new TessoraError(
                            codes.TOO_LARGE,
                            `An attached signature of ${bytes} bytes of text would exceed the ` +
                                '1 MiB a signing host may answer (the limit is about ' +
                                `${maxAttachedTextBytes()} bytes). Sign it detached ` +
                                '(attached = false) and keep the text beside the signature.');
                    }
                }
                return this.invoke_('SignMsgPKCS7', [text, hash, attached]);
            }

            async getKeyID(type = '') {
                return this.invoke_('GetKeyID', [requireString(type, 'type')]);
            }

            async getLastErrorDesc() {
                return this.invoke_('GetLastErrorDesc', []);
            }

            /** Ends the page's host process; every session of the page is closed with it. */
            close() {
                return enqueue(async () => {
                    if (!this.open) return;
                    generation++;
                    await post('close');
                });
            }

            // Runs one function; a non-zero errorcode rejects with the host's description.
            invoke_(functionName, params) {
                return enqueue(async () => {
                    const response = await this.exchange_(functionName, params);
                    if (response.errorcode === 0) return response.result;
                    throw await this.hostError_(functionName, response.errorcode);
                });
            }

            async exchange_(functionName, params) {
                if (!this.open) {
                    throw new TessoraError(codes.DISCONNECTED, 'The session is closed.');
                }
                const request = {function: functionName, params, randomId: randomId()};
                checkRequestSize(request);
                const reply = await post('request', request);
                const response = reply.message;
                if (!response || typeof response !== 'object' ||
                    typeof response.errorcode !== 'number') {
                    throw new TessoraError(codes.PROTOCOL_ERROR,
                                           'The signing host sent an answer without errorcode.');
                }
                // The host echoes randomId; only its two fixed error answers leave it out.
                if (response.randomId !== undefined && response.randomId !== request.randomId) {
                    throw new TessoraError(codes.PROTOCOL_ERROR,
                                           'The answer belongs to another request.');
                }
                return response;
            }

            async hostError_(functionName, errorcode) {
                const hex = hexOf(errorcode);
                let message = kHandlerFailures.get(errorcode);
                if (message === undefined) {
                    try {
                        const description = await this.exchange_('GetLastErrorDesc', []);
                        if (description.errorcode === 0 && description.result) {
                            message = description.result;
                        }
                    } catch {
                        // The failure itself is what the caller needs to hear about.
                    }
                }
                if (message === undefined) message = `The signing host reported ${hex}.`;
                return new TessoraError(codes.HOST_ERROR, message, {errorcode, hex, functionName});
            }
        }

        /** A page whose origin no extension could ever serve: refuse at once. */
        function opaqueOrigin() {
            const location = win.location;
            return !location || location.origin === 'null' || location.protocol === 'file:';
        }

        const Tessora = {
            /**
             * Connects to the signing host through the extension.
             * @param {{timeout?: number}} [options] how long to wait for the extension, in ms
             */
            async connect({timeout = kDefaultTimeoutMs} = {}) {
                if (opaqueOrigin()) {
                    throw new TessoraError(
                        codes.INSECURE_ORIGIN,
                        'Signing is available only to https pages (and http://localhost for ' +
                            'development), not to this page.');
                }
                await post('hello', undefined, timeout);
                const reply = await post('connect');
                return new TessoraSession(reply.version, generation);
            },
            limits: Object.freeze({
                maxAnswerBytes: kMaxAnswerBytes,
                maxRequestBytes: kMaxRequestBytes - kEnvelopeBytes,
                maxAttachedTextBytes: maxAttachedTextBytes(),
            }),
            TessoraError,
        };
        return Tessora;
    }

    const pageWindow = typeof window !== 'undefined' ? window : undefined;
    const Tessora = pageWindow ? createTessora(pageWindow) : {};
    return {Tessora, TessoraError, createTessora, utf8Length, attachedAnswerBytes};
});
