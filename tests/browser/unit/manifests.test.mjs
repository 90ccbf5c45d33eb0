import assert from 'node:assert/strict';
import {createHash} from 'node:crypto';
import {existsSync, readFileSync} from 'node:fs';
import {join} from 'node:path';
import {test} from 'node:test';

import {extensionDir, kExtensionId, kFirefoxExtensionId} from '../support/world.mjs';

const read = (name) => JSON.parse(readFileSync(join(extensionDir, name), 'utf8'));

test('the Chromium manifest\'s key gives the extension the ID the host manifests allow', () => {
    const manifest = read('manifest.json');
    // Chromium: the ID is the first 128 bits of SHA-256 over the public key's DER, written with
    // the letters a to p for the hexadecimal digits.
    const digest = createHash('sha256').update(Buffer.from(manifest.key, 'base64')).digest('hex');
    const id = [...digest.slice(0, 32)].map((d) => String.fromCharCode(97 + parseInt(d, 16)));
    assert.equal(id.join(''), kExtensionId);
    assert.equal(manifest.background.service_worker, 'background.js');
});

test('the Firefox manifest is the Chromium one with Firefox\'s background and add-on id', () => {
    const chromium = read('manifest.json');
    const firefox = read('manifest.firefox.json');
    assert.equal(firefox.browser_specific_settings.gecko.id, kFirefoxExtensionId);
    assert.deepEqual(firefox.background, {scripts: ['background.js'], type: 'module'});
    assert.equal(firefox.key, undefined);
    for (const field of ['manifest_version', 'name', 'version', 'description', 'permissions',
                         'content_scripts', 'options_ui']) {
        assert.deepEqual(firefox[field], chromium[field], field);
    }
    const files = [chromium.background.service_worker, chromium.options_ui.page,
                   ...chromium.content_scripts.flatMap((script) => script.js)];
    for (const file of files) assert.ok(existsSync(join(extensionDir, file)), file);
});
