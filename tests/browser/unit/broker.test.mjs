import assert from 'node:assert/strict';
import {describe, test} from 'node:test';

import {Broker} from '../../../browser/extension/lib/broker.js';
import {ConsentPrompts, ConsentStore} from '../../../browser/extension/lib/consent.js';
import {FakeHosts, MemoryArea, PageEnd, tick} from '../support/fakes.mjs';

// A broker over scripted hosts; `decide(origin)` answers the consent questions.
function setup({hosts = new FakeHosts(), decide = () => 'once', allowed = []} = {}) {
    const asked = [];
    const consent = new ConsentStore(new MemoryArea({allowedOrigins: allowed}));
    const prompts = new ConsentPrompts(async (origin, promptId) => {
        asked.push(origin);
        setTimeout(() => prompts.answer(promptId, decide(origin)));
        return asked.length;
    });
    const broker = new Broker({connectNative: hosts.connectNative, lastError: hosts.lastError,
                               consent, prompts});
    const page = (tabId, url = 'https://bank.example/pay') => new PageEnd(broker, {tabId, url});
    return {broker, hosts, consent, asked, page};
}

const request = (fn, randomId) => ({function: fn, params: [], randomId});

describe('Broker', () => {
    test('refuses pages outside https and local http before asking or starting anything',
         async () => {
        const {asked, hosts, page} = setup();
        for (const url of ['http://bank.example/', 'file:///tmp/x.html', 'data:text/html,x']) {
            const reply = await page(1, url).ask('connect');
            assert.equal(reply.type, 'error', url);
            assert.equal(reply.code, 'INSECURE_ORIGIN', url);
        }
        assert.deepEqual(asked, []);
        assert.equal(hosts.ports.length, 0);
    });

    test('gives each tab its own host and ends it with the page, the tab or a new document',
         async () => {
        const {broker, hosts, page} = setup();
        const one = page(1);
        const two = page(2);
        assert.equal((await one.ask('connect')).version, '3.4.0.3');
        assert.equal((await two.ask('connect')).version, '3.4.0.3');
        // A second session of the same page shares its host.
        await one.ask('connect');
        assert.equal(hosts.ports.length, 2);
        assert.equal(broker.hostCount, 2);

        one.port.drop();  // the page navigated away or closed
        assert.deepEqual(hosts.live, [hosts.ports[1]]);

        // A new document in tab 2 replaces the old one before the old port's disconnect arrives.
        const twoAgain = page(2);
        assert.equal(hosts.live.length, 0);
        await twoAgain.ask('connect');
        assert.equal(hosts.live.length, 1);
        broker.tabRemoved(2);
        assert.equal(hosts.live.length, 0);
        assert.equal(broker.hostCount, 0);
    });

    test('matches answers to requests in order, also the host answers without randomId',
         async () => {
        const hosts = new FakeHosts({
            delay: 5,
            // The host's fixed reply to a request it cannot read carries no randomId.
            answer: (r) => r.function === 'Broken' ?
                {function: '', errorcode: -2146893779, result: false} : undefined,
        });
        const {page} = setup({hosts});
        const tab = page(1);
        await tab.ask('connect');
        const answers = await Promise.all([
            tab.ask('request', request('GetVersion', 'a')),
            tab.ask('request', request('Broken', 'b')),
            tab.ask('request', request('GetKeyID', 'c')),
        ]);
        assert.deepEqual(answers.map((a) => a.message.randomId), ['a', undefined, 'c']);
        assert.deepEqual(answers.map((a) => a.message.function), ['GetVersion', '', 'GetKeyID']);
    });

    test('asks for consent: deny refuses for the page, once asks again on the next page, ' +
             'always is remembered',
         async () => {
        let decision = 'deny';
        const {asked, consent, hosts, page} = setup({decide: () => decision});
        const denied = page(1);
        assert.equal((await denied.ask('connect')).code, 'NOT_ALLOWED');
        assert.equal((await denied.ask('connect')).code, 'NOT_ALLOWED');
        assert.equal(asked.length, 1, 'a denied page is not asked again');
        assert.equal(hosts.ports.length, 0);

        decision = 'once';
        const once = page(1);
        assert.equal((await once.ask('connect')).type, 'connected');
        await once.ask('connect');
        assert.equal(asked.length, 2);
        assert.deepEqual(await consent.list(), []);

        decision = 'always';
        assert.equal((await page(1).ask('connect')).type, 'connected');
        assert.equal(asked.length, 3);
        assert.deepEqual(await consent.list(), ['https://bank.example']);
        assert.equal((await page(2).ask('connect')).type, 'connected');
        assert.equal(asked.length, 3);
    });

    test('two sessions connecting at once share one question and one host', async () => {
        const {asked, hosts, page} = setup();
        const tab = page(1);
        const replies = await Promise.all([tab.ask('connect'), tab.ask('connect')]);
        assert.deepEqual(replies.map((r) => r.type), ['connected', 'connected']);
        assert.equal(asked.length, 1);
        assert.equal(hosts.ports.length, 1);
    });

    test('reports a host that cannot be started as HOST_MISSING with the browser\'s reason',
         async () => {
        const {page} = setup({hosts: new FakeHosts({missing: true}), allowed: ['https://bank.example']});
        const reply = await page(1).ask('connect');
        assert.equal(reply.code, 'HOST_MISSING');
        assert.match(reply.message, /not found/);
    });

    test('a host that ends fails the request in flight, tells the page, and can be started again',
         async () => {
        // The host dies on "Crash" without answering, as it does after an answer over 1 MiB.
        const hosts = new FakeHosts({
            answer: (r, port) => r.function === 'Crash' && port.drop('Native host has exited.'),
        });
        const {page} = setup({hosts});
        const tab = page(1);
        await tab.ask('connect');
        const lost = await tab.ask('request', request('Crash', 'x'));
        assert.equal(lost.code, 'DISCONNECTED');
        assert.match(lost.message, /exited/);
        assert.deepEqual(tab.notices.map((n) => n.code), ['DISCONNECTED']);
        assert.equal((await tab.ask('request', request('GetVersion', 'y'))).code, 'DISCONNECTED');
        assert.equal((await tab.ask('connect')).type, 'connected');
        assert.equal(hosts.ports.length, 2);
    });

    test('close ends the page\'s host; revoking an origin ends its hosts and asks again',
         async () => {
        const {broker, asked, consent, hosts, page} = setup({decide: () => 'always'});
        const tab = page(1);
        await tab.ask('connect');
        assert.equal((await tab.ask('close')).type, 'closed');
        assert.equal(hosts.live.length, 0);

        await tab.ask('connect');
        const other = page(2, 'https://shop.example/');
        await other.ask('connect');
        await consent.revoke('https://bank.example');  // what the options page does
        broker.revoked(['https://bank.example']);
        assert.deepEqual(hosts.live.map((p) => hosts.ports.indexOf(p)), [2]);
        assert.deepEqual(tab.notices.map((n) => n.code), ['NOT_ALLOWED']);
        await tab.ask('connect');
        assert.deepEqual(asked, ['https://bank.example', 'https://shop.example',
                                 'https://bank.example']);
        await tick();
    });
});
