import assert from 'node:assert/strict';
import {describe, test} from 'node:test';

import {ConsentPrompts, ConsentStore, Decision, kAllowedOriginsKey, revokedOrigins} from
    '../../../browser/extension/lib/consent.js';
import {MemoryArea, tick} from '../support/fakes.mjs';

describe('ConsentStore', () => {
    test('keeps each allowed origin once, sorted, and revokes one without touching the rest',
         async () => {
        const area = new MemoryArea();
        const store = new ConsentStore(area);
        assert.deepEqual(await store.list(), []);
        await store.allow('https://b.example');
        await store.allow('https://a.example');
        await store.allow('https://b.example');
        assert.deepEqual(area.data[kAllowedOriginsKey], ['https://a.example', 'https://b.example']);
        assert.equal(await store.isAllowed('https://a.example'), true);
        await store.revoke('https://a.example');
        assert.deepEqual(await store.list(), ['https://b.example']);
        assert.equal(await store.isAllowed('https://a.example'), false);
    });

    test('reads a damaged stored value as no origins', async () => {
        for (const value of ['https://a.example', {0: 'x'}, [1, null, 'https://a.example']]) {
            const store = new ConsentStore(new MemoryArea({[kAllowedOriginsKey]: value}));
            assert.deepEqual(await store.list(), Array.isArray(value) ? ['https://a.example'] : []);
        }
    });

    test('revokedOrigins names the origins a storage change removed', () => {
        assert.deepEqual(revokedOrigins(['a', 'b', 'c'], ['b']), ['a', 'c']);
        assert.deepEqual(revokedOrigins(['a'], undefined), ['a']);
        assert.deepEqual(revokedOrigins(undefined, ['a']), []);
    });
});

describe('ConsentPrompts', () => {
    function prompts() {
        const opened = [];
        const subject = new ConsentPrompts(async (origin, promptId) => {
            opened.push({origin, promptId});
            return 100 + opened.length;
        });
        return {subject, opened};
    }

    test('asks once per origin while a question is open, and every asker gets the answer',
         async () => {
        const {subject, opened} = prompts();
        const first = subject.ask('https://a.example');
        const second = subject.ask('https://a.example');
        const other = subject.ask('https://b.example');
        await tick();
        assert.deepEqual(opened.map((o) => o.origin), ['https://a.example', 'https://b.example']);
        assert.equal(subject.originOf(opened[0].promptId), 'https://a.example');
        assert.equal(subject.answer(opened[0].promptId, Decision.kAlways), true);
        assert.equal(await first, 'always');
        assert.equal(await second, 'always');
        // Answered questions are closed: a late or repeated answer changes nothing.
        assert.equal(subject.answer(opened[0].promptId, Decision.kDeny), false);
        assert.equal(subject.originOf(opened[0].promptId), undefined);
        subject.answer(opened[1].promptId, Decision.kOnce);
        assert.equal(await other, 'once');
        // The next question about an origin opens a new window.
        subject.ask('https://a.example');
        await tick();
        assert.equal(opened.length, 3);
    });

    test('denies when the window is closed, cannot be opened, or answers something unknown',
         async () => {
        const {subject, opened} = prompts();
        const closed = subject.ask('https://a.example');
        await tick();
        subject.windowClosed(101);
        assert.equal(await closed, 'deny');

        const odd = subject.ask('https://b.example');
        await tick();
        subject.answer(opened[1].promptId, 'sure');
        assert.equal(await odd, 'deny');

        const failing = new ConsentPrompts(async () => {
            throw new Error('no window');
        });
        assert.equal(await failing.ask('https://c.example'), 'deny');
        assert.equal(subject.answer('p999', Decision.kOnce), false);
    });
});
