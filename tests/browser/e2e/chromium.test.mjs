// End to end in Debian's chromium: the unpacked extension in a throwaway profile, whose native
// messaging manifest names the test build of tessora-host; the demo page served from loopback.

import assert from 'node:assert/strict';
import {mkdirSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, describe, test} from 'node:test';

import {chromium} from 'playwright-core';

import {startServer} from '../../../browser/demo/serve.mjs';
import {connect, run, signRepeated, within} from '../support/pages.mjs';
import {extensionDir, hostManifest, hostPids, kExtensionId, kHostName, kKeySerial, makeWorld,
        tearDown, verifySignature, waitFor} from '../support/world.mjs';

const kChromium = process.env.TESSORA_CHROMIUM ?? '/usr/lib/chromium/chromium';

describe('Chromium', {timeout: 240000}, () => {
    let world, server, insecureServer, context, worker;
    let local, loopback;  // two origins: http://localhost:PORT and http://127.0.0.1:PORT

    before(async () => {
        world = makeWorld();
        // Chromium reads per-user host manifests from NativeMessagingHosts in its profile folder.
        const profile = join(world.work, 'chromium-profile');
        mkdirSync(join(profile, 'NativeMessagingHosts'), {recursive: true});
        writeFileSync(join(profile, 'NativeMessagingHosts', `${kHostName}.json`),
                      hostManifest(world.hostPath,
                                   {allowed_origins: [`chrome-extension://${kExtensionId}/`]}));
        server = await startServer({host: '127.0.0.1'});
        insecureServer = await startServer({host: '127.0.0.2'});
        local = `http://localhost:${server.port}`;
        loopback = `http://127.0.0.1:${server.port}`;
        context = await chromium.launchPersistentContext(profile, {
            executablePath: kChromium,
            headless: true,  // the new headless mode, which runs extensions
            timeout: 30000,
            env: world.env,
            args: [
                '--no-sandbox',  // CI runs as root
                `--disable-extensions-except=${extensionDir}`,
                `--load-extension=${extensionDir}`,
                // A name for the second loopback address: a plain http site, not local.
                '--host-resolver-rules=MAP shop.test 127.0.0.2',
            ],
        });
        context.setDefaultTimeout(15000);
        worker = context.serviceWorkers()[0] ??
                 await context.waitForEvent('serviceworker', {timeout: 15000});
    });

    after(() => tearDown(world, context, server, insecureServer));

    async function open(origin, path = '/demo/') {
        const page = await context.newPage();
        await page.goto(origin + path);
        return page;
    }

    // Connects on `page`; the consent window must open, and gets `decision` clicked.
    async function connectWithConsent(page, decision) {
        const consent = context.waitForEvent('page', {
            predicate: (p) => p.url().includes('/consent.html'),
            timeout: 15000,
        });
        const result = connect(page);
        const window = await consent;
        await window.click(`#${decision}`);
        return within(15000, result, 'connect after consent');
    }

    // Lets origins connect without a question, as an earlier "always allow" would.
    function allowAlways(...origins) {
        return worker.evaluate((origins) => chrome.storage.local.set({allowedOrigins: origins}),
                               origins);
    }

    test('refuses a plain http page that is not local, without asking the person', async () => {
        const page = await open(`http://shop.test:${insecureServer.port}`);
        const result = await within(10000, connect(page), 'connect on shop.test');
        assert.equal(result.error?.code, 'INSECURE_ORIGIN');
        assert.match(result.error.message, /http:\/\/shop\.test/);
        assert.ok(!context.pages().some((p) => p.url().includes('/consent.html')));
        await page.close();
    });

    test('asks each time until "always", remembers that, and forgets it when revoked',
         async () => {
        const page = await open(local);
        assert.equal((await connectWithConsent(page, 'deny')).error?.code, 'NOT_ALLOWED');
        // The denied page is not asked again.
        assert.equal((await within(5000, connect(page), 'denied connect')).error?.code,
                     'NOT_ALLOWED');

        await page.reload();
        assert.equal((await connectWithConsent(page, 'once')).value, '3.4.0.3');
        await page.reload();
        assert.equal((await connectWithConsent(page, 'always')).value, '3.4.0.3');
        await page.reload();
        assert.equal((await within(10000, connect(page), 'allowed connect')).value, '3.4.0.3');

        const options = await open(`chrome-extension://${kExtensionId}`, '/options.html');
        await options.locator('.origin-name', {hasText: local}).waitFor();
        await options.click(`button[data-origin="${local}"]`);
        await options.locator('#empty').waitFor();
        // The page's session ended with the revocation, and the next connect asks again.
        await waitFor(() => page.evaluate(() => !window.testSession.open), {what: 'revocation'});
        assert.equal((await run(page, 'getVersion')).error?.code, 'DISCONNECTED');
        assert.equal((await connectWithConsent(page, 'deny')).error?.code, 'NOT_ALLOWED');
        await options.close();
        await page.close();
    });

    test('the demo page chooses a certificate, signs (verified by openssl), reads the USB key ' +
             'and shows a host error with its description',
         async () => {
        const page = await open(loopback);
        const consent = context.waitForEvent('page', {
            predicate: (p) => p.url().includes('/consent.html'),
        });
        await page.click('#connect');
        await (await consent).click('#always');
        await page.locator('#status', {hasText: 'version 3.4.0.3'}).waitFor();

        // Before a certificate is chosen, signing fails with the host's code and description.
        await page.click('#sign');
        await page.locator('#error').waitFor();
        assert.equal(await page.textContent('#error-code'), 'HOST_ERROR');
        assert.equal(await page.textContent('#error-hex'), '0xa0072001');
        assert.match(await page.textContent('#error-message'), /Certificate is not ready/);

        await page.fill('#subject', 'Alice Signer');
        await page.click('#select');
        await page.locator('#props').waitFor();
        const cell = (type) => page.textContent(`#props tr[data-type="${type}"] td`);
        assert.equal(await cell('SubjectCN'), 'Alice Signer');
        assert.equal(await cell('CertType'), 'RSA');
        assert.match(await cell('IssuerDN'), /Root CA/);

        const text = 'Pay 100 € to ACME, 签名 included.';
        await page.fill('#text', text);
        await page.check('#attached');
        await page.click('#sign');
        await page.locator('#copy:enabled').waitFor();
        assert.equal(verifySignature(world, await page.inputValue('#signature')), text);

        await page.uncheck('#attached');
        await page.selectOption('#hash', 'SHA-1');
        await page.click('#sign');
        await page.locator('#copy:enabled').waitFor();
        verifySignature(world, await page.inputValue('#signature'), text);

        await page.click('#keyid-button');
        await page.locator('#keyid', {hasText: kKeySerial}).waitFor();

        // The remaining functions, through a second session of the same page (same host).
        assert.equal((await connect(page)).value, '3.4.0.3');
        assert.deepEqual(await run(page, 'getVersion'), {value: '3.4.0.3'});
        assert.deepEqual(await run(page, 'getSignCertInfo', 'SubjectCN'), {value: 'Alice Signer'});
        assert.deepEqual(await run(page, 'setSM2CSPList', ['No Such Provider']), {value: true});
        assert.equal(typeof (await run(page, 'getLastErrorDesc')).value, 'string');
        await page.close();
    });

    test('each tab has its own host and certificate; closing a tab ends its host', async () => {
        await allowAlways(loopback);
        const [alice, bob] = [await open(loopback), await open(loopback)];
        for (const [page, subject] of [[alice, 'Alice Signer'], [bob, 'Bob NonRep']]) {
            assert.equal((await connect(page)).value, '3.4.0.3');
            assert.deepEqual(await run(page, 'selectCertificate', {subject}), {value: true});
        }
        assert.deepEqual(await run(alice, 'getSignCertInfo', 'SubjectCN'), {value: 'Alice Signer'});
        assert.deepEqual(await run(bob, 'getSignCertInfo', 'SubjectCN'), {value: 'Bob NonRep'});
        assert.equal(hostPids(world.hostPath).length, 2);

        await bob.close();
        await waitFor(() => hostPids(world.hostPath).length === 1, {what: 'the closed tab\'s host'});
        assert.deepEqual(await run(alice, 'getSignCertInfo', 'SubjectCN'), {value: 'Alice Signer'});
        await alice.goto(`${loopback}/demo/?elsewhere`);
        await waitFor(() => hostPids(world.hostPath).length === 0, {what: 'the left page\'s host'});
        await alice.close();
    });

    test('signs the longest attached text the answer limit allows, refuses one byte more, and ' +
             'survives the host ending on a larger answer',
         async () => {
        await allowAlways(loopback);
        const page = await open(loopback);
        await connect(page);
        await run(page, 'selectCertificate', {subject: 'Alice Signer'});
        const limit = await page.evaluate(() => Tessora.limits.maxAttachedTextBytes);

        const signed = await signRepeated(page, limit, true);
        assert.equal(verifySignature(world, signed.value).length, limit);
        const refused = await signRepeated(page, limit + 1, true);
        assert.equal(refused.error?.code, 'TOO_LARGE');
        assert.match(refused.error.message, /detached/);

        // call() sends as it is: the host cannot answer in 1 MiB and ends the session.
        const lost = await within(30000, signRepeated(page, 800 * 1024, true, true), 'big answer');
        assert.equal(lost.error?.code, 'DISCONNECTED');
        await waitFor(() => hostPids(world.hostPath).length === 0, {what: 'the host to end'});
        assert.equal((await connect(page)).value, '3.4.0.3');
        await page.close();
    });
});
