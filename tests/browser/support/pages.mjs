// Calls into tessora.js on a page (the demo page loads it as a classic script). Works with
// playwright's and puppeteer's Page alike: both take one argument for evaluate.
// Each call resolves with {value} or {error: {code, message, hex, errorcode}}, so a test can
// compare failures as data.

export function connect(page, timeout = 5000) {
    return page.evaluate(async (timeout) => {
        try {
            window.testSession = await Tessora.connect({timeout});
            return {value: window.testSession.version};
        } catch (e) {
            return {error: {code: e.code, message: e.message}};
        }
    }, timeout);
}

/** session[method](...args) on the page's session from connect(). */
export function run(page, method, ...args) {
    return page.evaluate(async ([method, args]) => {
        try {
            return {value: await window.testSession[method](...args)};
        } catch (e) {
            return {error: {code: e.code, message: e.message, hex: e.hex, errorcode: e.errorcode}};
        }
    }, [method, args]);
}

/** Signs `length` bytes of "a" on the page (the text is made there, not sent through the driver). */
export function signRepeated(page, length, attached, raw = false) {
    return page.evaluate(async ([length, attached, raw]) => {
        const text = 'a'.repeat(length);
        try {
            if (raw) {
                return {value: await window.testSession.call('SignMsgPKCS7',
                                                             [text, 'SHA-256', attached])};
            }
            return {value: await window.testSession.signMsgPKCS7(text, 'SHA-256', attached)};
        } catch (e) {
            return {error: {code: e.code, message: e.message}};
        }
    }, [length, attached, raw]);
}

/** Resolves with `promise`'s value, or rejects after `ms`: no wait in these tests is unbounded. */
export function within(ms, promise, what) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`${what}: no result within ${ms} ms`)), ms);
    });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}
