// Stand-ins for the browser's extension ports and for a page window, so the extension's logic and
// tessora.js run under node. The end-to-end tests run the same code in real browsers.

/** An extension event (port.onMessage, port.onDisconnect). */
export class FakeEvent {
    constructor() {
        this.listeners = [];
    }
    addListener(listener) {
        this.listeners.push(listener);
    }
    fire(...args) {
        for (const listener of [...this.listeners]) listener(...args);
    }
}

/** A runtime.Port: what is posted on it lands in `sent`, and `onPost` may react to it. */
export class FakePort {
    constructor(name, sender) {
        this.name = name;
        this.sender = sender;
        this.onMessage = new FakeEvent();
        this.onDisconnect = new FakeEvent();
        this.sent = [];
        this.disconnected = false;
        this.onPost = null;
    }
    postMessage(message) {
        if (this.disconnected) throw new Error('Attempting to use a disconnected port object');
        const copy = structuredClone(message);
        this.sent.push(copy);
        this.onPost?.(copy);
    }
    disconnect() {
        this.disconnected = true;
    }
    /** The other side went away (the browser fires onDisconnect only for that). */
    drop(error) {
        this.disconnected = true;
        this.error = error === undefined ? undefined : {message: error};
        this.onDisconnect.fire(this);
    }
}

export function tick(ms = 0) {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

/**
 * A scripted tessora-host behind native ports: answers each request in order with
 * `answer(request, port)` (GetVersion: "3.4.0.3"), after `delay` ms. `missing` makes every port
 * disconnect at once, as the browser does when it cannot start the host.
 */
export class FakeHosts {
    constructor({answer = () => undefined, delay = 0, missing = false} = {}) {
        this.ports = [];
        this.answer = answer;
        this.delay = delay;
        this.missing = missing;
        this.connectNative = (name) => this.connect_(name);
        this.lastError = (port) => port.error?.message;
    }

    connect_(name) {
        const port = new FakePort(name);
        this.ports.push(port);
        if (this.missing) {
            setTimeout(() => port.drop('Specified native messaging host not found.'));
            return port;
        }
        let chain = Promise.resolve();
        port.onPost = (request) => {
            chain = chain.then(async () => {
                await tick(this.delay);
                if (port.disconnected) return;
                const scripted = this.answer(request, port);
                if (port.disconnected) return;
                port.onMessage.fire(scripted ?? {
                    function: request.function,
                    errorcode: 0,
                    result: request.function === 'GetVersion' ? '3.4.0.3' : `ok:${request.function}`,
                    randomId: request.randomId,
                });
            });
        };
        return port;
    }

    get live() {
        return this.ports.filter((port) => !port.disconnected);
    }
}

/** A page's content-script port, with a way to ask and await the background's reply. */
export class PageEnd {
    constructor(broker, {tabId, url}) {
        this.port = new FakePort('tessora-page', {tab: {id: tabId}, url});
        this.waiting = new Map();
        this.nextId = 1;
        this.port.onPost = (message) => {
            const resolve = this.waiting.get(message.id);
            if (!resolve) return;
            this.waiting.delete(message.id);
            resolve(message);
        };
        broker.attach(this.port);
    }
    ask(type, message) {
        const id = `m${this.nextId++}`;
        return new Promise((resolve) => {
            this.waiting.set(id, resolve);
            this.port.onMessage.fire({id, type, message});
        });
    }
    /** Messages the background sent without being asked (disconnect notices). */
    get notices() {
        return this.port.sent.filter((message) => message.id === undefined);
    }
}

/** An in-memory storage.local. */
export class MemoryArea {
    constructor(initial = {}) {
        this.data = structuredClone(initial);
    }
    async get(key) {
        return key in this.data ? {[key]: structuredClone(this.data[key])} : {};
    }
    async set(items) {
        Object.assign(this.data, structuredClone(items));
    }
}

/**
 * A page window for tessora.js: what the page posts goes to `extension(message, reply)`, and
 * `reply` delivers messages back as the content script would.
 */
export class FakeWindow extends EventTarget {
    constructor(extension, origin = 'https://bank.example') {
        super();
        this.extension = extension;
        const url = new URL(origin === 'null' ? 'data:text/html,x' : origin);
        this.location = {origin, protocol: url.protocol};
        this.posted = [];
    }
    postMessage(data) {
        const copy = structuredClone(data);
        setTimeout(() => {
            if (copy.to === 'extension') {
                this.posted.push(copy);
                this.extension?.(copy, (reply) => this.deliver({channel: 'tessora', to: 'page',
                                                                ...reply}));
            } else {
                this.deliver(copy);
            }
        });
    }
    deliver(data) {
        const event = new Event('message');
        Object.defineProperties(event, {data: {value: data}, source: {value: this}});
        this.dispatchEvent(event);
    }
    /** The host requests the page sent, in order. */
    get requests() {
        return this.posted.filter((m) => m.type === 'request').map((m) => m.message);
    }
}
