// The bridge between a page and the extension. Pages talk to it with window.postMessage (the page
// library tessora.js does that); it forwards their messages over one runtime port, opened on the
// first message, to the background, which decides what the page may do.
(() => {
    const api = globalThis.browser ?? globalThis.chrome;
    const kChannel = 'tessora';
    // Replies go to this document only; an opaque origin cannot be named, so '*' is used there,
    // which still reaches only this window.
    const target = window.location.origin === 'null' ? '*' : window.location.origin;
    let port = null;

    function toPage(message) {
        window.postMessage({channel: kChannel, to: 'page', ...message}, target);
    }

    function openPort() {
        port = api.runtime.connect({name: 'tessora-page'});
        port.onMessage.addListener(toPage);
        port.onDisconnect.addListener(() => {
            port = null;
            toPage({type: 'disconnected', code: 'DISCONNECTED',
                    message: 'The Tessora extension was stopped or reloaded.'});
        });
        return port;
    }

    window.addEventListener('message', (event) => {
        // Only this window's own scripts: frames and other windows post with another source.
        if (event.source !== window) return;
        const data = event.data;
        if (!data || data.channel !== kChannel || data.to !== 'extension') return;
        if (data.type === 'hello') {
            toPage({id: data.id, type: 'hello', version: api.runtime.getManifest().version});
            return;
        }
        try {
            (port ?? openPort()).postMessage({id: data.id, type: data.type, message: data.message});
        } catch (e) {
            // The browser refuses messages over its size limit; say so instead of never answering.
            toPage({id: data.id, type: 'error', code: 'TOO_LARGE', message: String(e?.message ?? e)});
        }
    });
})();
