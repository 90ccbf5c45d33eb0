// Which pages may reach the signing host.
//
// A signature proves who signed, so the page that asks for one must be the page the person
// believes they are on: only https pages qualify, plus plain http on the local machine so a
// developer can try a site before it has a certificate. Everything else (http on the network,
// file:, data:, sandboxed frames with an opaque origin) is refused with a reason the page can show.

const kLocalHosts = new Set(['localhost', '127.0.0.1']);

/**
 * Classifies the URL of the page that sent a message.
 * @param {string|undefined} url the sender's URL as the browser reports it
 * @returns {{allowed: boolean, origin: string, reason?: string}}
 */
export function classifyPage(url) {
    let parsed = null;
    try {
        parsed = new URL(url);
    } catch {
        // No address: refused below like any other page.
    }
    const origin = parsed ? parsed.origin : 'null';
    if (parsed?.protocol === 'https:') return {allowed: true, origin};
    if (parsed?.protocol === 'http:' && kLocalHosts.has(parsed.hostname)) {
        return {allowed: true, origin};
    }
    let shown = origin;
    if (origin === 'null') shown = parsed ? `${parsed.protocol} pages` : 'pages without an address';
    return {
        allowed: false,
        origin,
        reason: `Signing is available only to https pages (and http://localhost for development), ` +
                `not to ${shown}.`,
    };
}
