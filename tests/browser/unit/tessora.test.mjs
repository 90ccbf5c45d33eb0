import assert from 'node:assert/strict';
import {createRequire} from 'node:module';
import {describe, test} from 'node:test';

import {FakeWindow, tick} from '../support/fakes.mjs';

const require = createRequire(import.meta.url);
const {createTessora, utf8Length, attachedAnswerBytes} = require('../../../browser/tessora.js');

const kNotReady = 0xa0072001 | 0;

// A page whose extension connects at once and hands each request to `host(request)`, which
// returns the host's answer (default: success echoing the function name).
function page({host = () => undefined, delay = 1, origin} = {}) {
    let inFlight = 0;
    const stats = {maxInFlight: 0};
    const win = new FakeWindow(async (message, reply) => {
        const {id, type} = message;
        if (type === 'hello') return reply({id, type: 'hello'});
        if (type === 'connect') return reply({id, type: 'connected', version: '3.4.0.3'});
        if (type === 'close') return reply({id, type: 'closed'});
        inFlight++;
        stats.maxInFlight = Math.max(stats.maxInFlight, inFlight);
        await tick(delay);
        inFlight--;
        const request = message.message;
        const answer = host(request) ?? {function: request.function, errorcode: 0,
                                          result: `ok:${request.function}`};
        reply({id, type: 'answer', message: {randomId: request.randomId, ...answer}});
    }, origin);
    return {win, stats, Tessora: createTessora(win)};
}

async function rejects(promise, code) {
    await assert.rejects(promise, (error) => {
        assert.equal(error.name, 'TessoraError');
        assert.equal(error.code, code, error.message);
        return true;
    });
}

describe('Tessora.connect', () => {
    test('rejects with EXTENSION_MISSING when nothing answers within the timeout', async () => {
        const win = new FakeWindow(null);
        const started = Date.now();
        await rejects(createTessora(win).connect({timeout: 50}), 'EXTENSION_MISSING');
        assert.ok(Date.now() - started < 1000);
    });

    test('refuses a page without an origin at once, without asking the extension', async () => {
        const {win, Tessora} = page({origin: 'null'});
        await rejects(Tessora.connect(), 'INSECURE_ORIGIN');
        assert.equal(win.posted.length, 0);
    });

    test('passes on the extension\'s refusals with their codes', async () => {
        for (const code of ['NOT_ALLOWED', 'HOST_MISSING', 'INSECURE_ORIGIN']) {
            const win = new FakeWindow((message, reply) => reply(message.type === 'hello' ?
                {id: message.id, type: 'hello'} :
                {id: message.id, type: 'error', code, message: `refused: ${code}`}));
            await rejects(createTessora(win).connect(), code);
        }
    });
});

describe('TessoraSession', () => {
    test('sends one request at a time across the page\'s sessions, each with its randomId',
         async () => {
        const {win, stats, Tessora} = page({delay: 5});
        const [a, b] = await Promise.all([Tessora.connect(), Tessora.connect()]);
        const results = await Promise.all([
            a.getVersion(), b.getKeyID(), a.selectCertificate({subject: 'Alice'}),
            b.setSM2CSPList(['CSP A', 'CSP B']), a.getSignCertInfo('SubjectCN'),
            b.signMsgPKCS7('text', 'SHA-1', true), a.getLastErrorDesc(),
        ]);
        assert.equal(stats.maxInFlight, 1);
        assert.deepEqual(results, ['ok:GetVersion', 'ok:GetKeyID', 'ok:SelectCertificate',
                                   'ok:SetSM2CSPList', 'ok:GetSignCertInfo', 'ok:SignMsgPKCS7',
                                   'ok:GetLastErrorDesc']);
        const params = Object.fromEntries(win.requests.map((r) => [r.function, r.params]));
        assert.deepEqual(params, {
            GetVersion: [], GetKeyID: [''], SelectCertificate: ['Alice', '', ''],
            SetSM2CSPList: ['CSP A||CSP B'], GetSignCertInfo: ['SubjectCN'],
            SignMsgPKCS7: ['text', 'SHA-1', true], GetLastErrorDesc: [],
        });
        assert.equal(new Set(win.requests.map((r) => r.randomId)).size, win.requests.length);
    });

    test('a host failure rejects with its code and the host\'s description, fetched before ' +
             'the next request runs',
         async () => {
        const {win, Tessora} = page({
            host: (r) => {
                if (r.function === 'SignMsgPKCS7') return {function: r.function, errorcode: kNotReady, result: false};
                if (r.function === 'GetLastErrorDesc') return {function: r.function, errorcode: 0, result: 'Certificate is not ready.'};
            },
        });
        const session = await Tessora.connect();
        const failed = session.signMsgPKCS7('text', 'SHA-256', false);
        const next = session.getVersion();
        await assert.rejects(failed, {
            name: 'TessoraError', code: 'HOST_ERROR', errorcode: -1610145791, hex: '0xa0072001',
            functionName: 'SignMsgPKCS7', message: 'Certificate is not ready.',
        });
        await next;
        assert.deepEqual(win.requests.map((r) => r.function),
                         ['SignMsgPKCS7', 'GetLastErrorDesc', 'GetVersion']);
        // call() hands over the raw answer and fetches nothing.
        const raw = await session.call('SignMsgPKCS7', ['text', 'SHA-256', false]);
        assert.equal(raw.errorcode, kNotReady);
        assert.equal(win.requests.length, 4);
    });

    test('describes the host\'s own request failures itself: its last error is older', async () => {
        const cases = [
            [-1, '0xffffffff', /parameters/],
            [0xa0073204 | 0, '0xa0073204', /wrong type/],
            // The fixed answer to a request the host cannot read has no randomId.
            [0x8009002d | 0, '0x8009002d', /could not read/],
        ];
        for (const [errorcode, hex, message] of cases) {
            const {win, Tessora} = page({
                host: (r) => ({function: r.function, errorcode, result: false, randomId: undefined}),
            });
            const session = await Tessora.connect();
            await assert.rejects(session.getKeyID(), {code: 'HOST_ERROR', errorcode, hex, message});
            assert.deepEqual(win.requests.map((r) => r.function), ['GetKeyID']);
        }
    });

    test('refuses arguments of the wrong type before sending', async () => {
        const {win, Tessora} = page();
        const session = await Tessora.connect();
        const calls = [
            () => session.signMsgPKCS7(5), () => session.signMsgPKCS7('x', 'SHA-256', 'yes'),
            () => session.signMsgPKCS7('x', null), () => session.setSM2CSPList([1]),
            () => session.setSM2CSPList(['A||B']), () => session.setSM2CSPList(7),
            () => session.getSignCertInfo(), () => session.selectCertificate({serial: 12}),
            () => session.call(42),
        ];
        for (const call of calls) await rejects(call(), 'INVALID_ARGUMENT');
        assert.equal(win.requests.length, 0);
    });

    test('refuses an attached signature whose answer would pass 1 MiB, and a request over ' +
             'the browser\'s limit, before sending',
         async () => {
        const {win, Tessora} = page();
        const session = await Tessora.connect();
        const limit = Tessora.limits.maxAttachedTextBytes;
        assert.ok(attachedAnswerBytes(limit) <= 1024 * 1024);
        assert.ok(attachedAnswerBytes(limit + 1) > 1024 * 1024);
        // The host ends the session at about 750 KB of text; the limit stays below that.
        assert.ok(limit > 700 * 1024 && limit < 750 * 1000, String(limit));

        await session.signMsgPKCS7('a'.repeat(limit), 'SHA-256', true);
        await rejects(session.signMsgPKCS7('a'.repeat(limit + 1), 'SHA-256', true), 'TOO_LARGE');
        // Bytes count, not characters: "é" takes two.
        await rejects(session.signMsgPKCS7('é'.repeat(limit / 2 + 1), 'SHA-256', true),
                      'TOO_LARGE');
        await assert.rejects(session.signMsgPKCS7('a'.repeat(limit + 1), 'SHA-256', true),
                             /detached/);
        // Detached, the same text gives a small answer.
        await session.signMsgPKCS7('a'.repeat(limit + 1), 'SHA-256', false);
        assert.equal(win.requests.length, 2);

        const huge = 'a'.repeat(Tessora.limits.maxRequestBytes);
        await rejects(session.signMsgPKCS7(huge, 'SHA-256', false), 'TOO_LARGE');
        await rejects(session.call('SignMsgPKCS7', [huge, 'SHA-256', false]), 'TOO_LARGE');
        assert.equal(win.requests.length, 2);
        assert.equal(session.open, true);
    });

    test('a lost host fails the request in flight and closes every session of the page; ' +
             'a new connect starts over',
         async () => {
        const {win, Tessora} = page({delay: 30});
        const a = await Tessora.connect();
        const b = await Tessora.connect();
        const pending = a.getKeyID();
        const queued = b.getVersion();
        await tick(5);
        win.deliver({channel: 'tessora', to: 'page', type: 'disconnected', code: 'DISCONNECTED',
                     message: 'Native host has exited.'});
        await rejects(pending, 'DISCONNECTED');
        await rejects(queued, 'DISCONNECTED');
        assert.equal(a.open || b.open, false);
        const c = await Tessora.connect();
        assert.equal(await c.getVersion(), 'ok:GetVersion');
    });

    test('close() ends the page\'s host for all its sessions', async () => {
        const {win, Tessora} = page();
        const a = await Tessora.connect();
        const b = await Tessora.connect();
        await a.close();
        assert.deepEqual(win.posted.map((m) => m.type).slice(-1), ['close']);
        await rejects(b.getVersion(), 'DISCONNECTED');
        await a.close();  // closing twice is harmless
        assert.equal(win.posted.filter((m) => m.type === 'close').length, 1);
    });

    test('rejects an answer that carries another request\'s randomId', async () => {
        const {Tessora} = page({host: (r) => ({function: r.function, errorcode: 0, result: 'x',
                                                randomId: 'someone-else'})});
        const session = await Tessora.connect();
        await rejects(session.getVersion(), 'PROTOCOL_ERROR');
    });
});

test('utf8Length counts UTF-8 bytes as the browser encodes them', () => {
    for (const text of ['', 'abc', 'é', '签名', '😀', 'a\ud800b', '\udc00', 'x😀y签']) {
        assert.equal(utf8Length(text), Buffer.byteLength(text, 'utf8'), JSON.stringify(text));
    }
});
