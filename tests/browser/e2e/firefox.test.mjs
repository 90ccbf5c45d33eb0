// End to end in Debian's firefox-esr, headless, over WebDriver BiDi (no geckodriver): the
// extension installed as a temporary add-on, the host manifest in the throwaway HOME's
// ~/.mozilla/native-messaging-hosts/.

import assert from 'node:assert/strict';
import {mkdirSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, describe, test} from 'node:test';

import puppeteer from 'puppeteer-core';

import {startServer} from '../../../browser/demo/serve.mjs';
import {connect, run, within} from '../support/pages.mjs';
import {firefoxExtension, hostManifest, hostPids, kFirefoxExtensionId, kHostName, makeWorld,
        tearDown, verifySignature, waitFor} from '../support/world.mjs';

const kFirefox = process.env.TESSORA_FIREFOX ?? '/usr/lib/firefox-esr/firefox-esr';

describe('Firefox', {timeout: 180000}, () => {
    let world, server, insecureServer, browser;

    before(async () => {
        world = makeWorld();
        const hosts = join(world.home, '.mozilla', 'native-messaging-hosts');
        mkdirSync(hosts, {recursive: true});
        writeFileSync(join(hosts, `${kHostName}.json`),
                      hostManifest(world.hostPath, {allowed_extensions: [kFirefoxExtensionId]}));
        server = await startServer({host: '127.0.0.1'});
        insecureServer = await startServer({host: '127.0.0.2'});
        browser = await puppeteer.launch({
            browser: 'firefox',
            executablePath: kFirefox,
            headless: true,
            env: world.env,
            timeout: 30000,
            protocolTimeout: 30000,
        });
        assert.equal(await browser.installExtension(firefoxExtension(world)), kFirefoxExtensionId);
    });

    after(() => tearDown(world, browser, server, insecureServer));

    async function open(url) {
        const page = await browser.newPage();
        await page.goto(url);
        return page;
    }

    // The consent window: WebDriver BiDi may report an extension page's URL as about:blank, so
    // ask each new page where it is.
    async function consentWindow(known) {
        return waitFor(async () => {
            for (const page of await browser.pages()) {
                if (known.includes(page)) continue;
                const href = await page.evaluate(() => location.href).catch(() => '');
                if (href.includes('/consent.html')) return page;
            }
            return null;
        }, {timeout: 15000, interval: 200, what: 'the consent window'});
    }

    test('refuses a plain http page that is not local', async () => {
        const page = await open(`http://127.0.0.2:${insecureServer.port}/demo/`);
        const result = await within(10000, connect(page), 'connect on 127.0.0.2');
        assert.equal(result.error?.code, 'INSECURE_ORIGIN');
        await page.close();
    });

    test('after consent the page signs (verified by openssl) and gets error codes with their ' +
             'descriptions; closing the tab ends the host',
         async () => {
        const page = await open(`http://localhost:${server.port}/demo/`);
        const known = await browser.pages();
        const connected = connect(page);
        const consent = await consentWindow(known);
        await consent.waitForSelector('#once:enabled');
        await consent.click('#once');
        assert.equal((await within(15000, connected, 'connect')).value, '3.4.0.3');

        const notReady = await run(page, 'signMsgPKCS7', 'text', 'SHA-256', true);
        assert.equal(notReady.error?.code, 'HOST_ERROR');
        assert.equal(notReady.error.hex, '0xa0072001');
        assert.equal(notReady.error.errorcode, -1610145791);
        assert.match(notReady.error.message, /Certificate is not ready/);

        assert.deepEqual(await run(page, 'selectCertificate', {subject: 'Alice Signer'}),
                         {value: true});
        const text = 'Firefox signs this: 签名.';
        const signed = await run(page, 'signMsgPKCS7', text, 'SHA-256', true);
        assert.equal(verifySignature(world, signed.value), text);
        assert.equal(hostPids(world.hostPath).length, 1);

        await page.close();
        await waitFor(() => hostPids(world.hostPath).length === 0, {what: 'the tab\'s host to end'});
    });
});
