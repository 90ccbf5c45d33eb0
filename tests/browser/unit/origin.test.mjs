import assert from 'node:assert/strict';
import {test} from 'node:test';

import {classifyPage} from '../../../browser/extension/lib/origin.js';

test('https pages and local http pages may sign; every other page is refused with a reason', () => {
    const cases = [
        ['https://bank.example/pay?x=1', true, 'https://bank.example'],
        ['https://bank.example:8443/', true, 'https://bank.example:8443'],
        ['http://localhost:8080/demo/', true, 'http://localhost:8080'],
        ['http://127.0.0.1/', true, 'http://127.0.0.1'],
        ['http://bank.example/', false, 'http://bank.example'],
        ['http://127.0.0.2/', false, 'http://127.0.0.2'],
        ['http://localhost.bank.example/', false, 'http://localhost.bank.example'],
        ['http://[::1]/', false, 'http://[::1]'],
        ['file:///home/user/page.html', false, 'null'],
        ['data:text/html,<p>hi</p>', false, 'null'],
        ['ftp://bank.example/', false, 'ftp://bank.example'],
        [undefined, false, 'null'],
        ['not a url', false, 'null'],
    ];
    for (const [url, allowed, origin] of cases) {
        const page = classifyPage(url);
        assert.equal(page.allowed, allowed, url);
        assert.equal(page.origin, origin, url);
        if (!allowed) assert.match(page.reason, /https/, url);
    }
    assert.match(classifyPage('http://bank.example/').reason, /http:\/\/bank\.example/);
    assert.match(classifyPage('file:///x.html').reason, /file: pages/);
});
