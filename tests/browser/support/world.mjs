// What the end-to-end tests share: a throwaway HOME with an NSS database, the soft USB key, the
// host manifest, the demo server, and checks done with independent tools (openssl, /proc).

import {execFileSync} from 'node:child_process';
import {cpSync, mkdirSync, mkdtempSync, readdirSync, readlinkSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {fileURLToPath} from 'node:url';

export const kExtensionId = 'ofkngopgnahpfnggkcmklkhddcljbnkp';
export const kFirefoxExtensionId = 'host@tessora.org';
export const kHostName = 'org.tessora.host';
export const kKeySerial = '4A31000123';

export const repoRoot = fileURLToPath(new URL('../../..', import.meta.url));
export const extensionDir = join(repoRoot, 'browser', 'extension');

function required(name) {
    const value = process.env[name];
    if (!value) throw new Error(`${name} is not set: run the browser tests through ctest`);
    return value;
}

export function hostManifest(hostPath, allowed) {
    return JSON.stringify({
        name: kHostName,
        description: 'Tessora signing host (test build)',
        path: hostPath,
        type: 'stdio',
        ...allowed,
    }, null, 2);
}

/**
 * A throwaway HOME holding the NSS database of tests/support/make-nssdb.sh (keys without a
 * password), the soft USB key with one key plugged in, and the environment for the browser.
 */
export function makeWorld() {
    const hostPath = required('TESSORA_TEST_HOST');
    const work = mkdtempSync(join(tmpdir(), 'tessora-browser-'));
    execFileSync('bash', [required('TESSORA_MAKE_NSSDB'), work], {stdio: 'ignore'});
    const home = join(work, 'home');

    const libdir = required('TESSORA_TEST_LIBDIR');
    mkdirSync(libdir, {recursive: true});
    cpSync(required('TESSORA_SOFTSKF'), join(libdir, 'libVELK_UKEY_GMAPI.so'));
    const softskfState = join(work, 'softskf.state');
    writeFileSync(softskfState, `[device]\nname = TestKey\nserial = ${kKeySerial}\n`);

    const env = {
        ...process.env,
        HOME: home,
        XDG_CONFIG_HOME: join(home, '.config'),
        XDG_CACHE_HOME: join(home, '.cache'),
        LANG: 'C.UTF-8',
        SOFTSKF_STATE: softskfState,
    };
    delete env.LC_ALL;
    delete env.LC_MESSAGES;
    // No display: the host must never wait for a window nobody can see.
    delete env.DISPLAY;
    delete env.WAYLAND_DISPLAY;
    return {
        work,
        home,
        hostPath,
        env,
        caDer: join(work, 'certs', 'ca.der'),
        cleanup: () => rmSync(work, {recursive: true, force: true}),
    };
}

/** The pids of running processes of the executable `path` (through /proc/PID/exe). */
export function hostPids(path) {
    const pids = [];
    for (const entry of readdirSync('/proc')) {
        if (!/^\d+$/.test(entry)) continue;
        try {
            if (readlinkSync(`/proc/${entry}/exe`) === path) pids.push(Number(entry));
        } catch {
            // Gone already, or not ours to read.
        }
    }
    return pids;
}

/**
 * Closes what a suite started (browser first), checks that no host outlived the browser, and
 * removes the world.
 */
export async function tearDown(world, ...resources) {
    for (const resource of resources) await resource?.close();
    if (!world) return;
    // Closing the browser closes every native port, and with it every host.
    await waitFor(() => hostPids(world.hostPath).length === 0, {what: 'hosts to end'});
    world.cleanup();
}

/** Polls `check` until it returns a truthy value; fails after `timeout` ms. */
export async function waitFor(check, {timeout = 10000, interval = 100, what = 'condition'} = {}) {
    const end = Date.now() + timeout;
    for (;;) {
        const value = await check();
        if (value) return value;
        if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
        await new Promise((resolve) => setTimeout(resolve, interval));
    }
}

/**
 * Verifies a Base64 PKCS#7 SignedData with `openssl cms -verify` against the test CA; returns the
 * signed content (the attached one, or `content` for a detached signature).
 */
export function verifySignature(world, base64, content) {
    const dir = mkdtempSync(join(world.work, 'verify-'));
    writeFileSync(join(dir, 'sig.der'), Buffer.from(base64.replace(/\s/g, ''), 'base64'));
    execFileSync('openssl', ['x509', '-inform', 'DER', '-in', world.caDer,
                             '-out', join(dir, 'ca.pem')]);
    const args = ['cms', '-verify', '-binary', '-inform', 'DER', '-in', join(dir, 'sig.der'),
                  '-CAfile', join(dir, 'ca.pem'), '-purpose', 'any', '-out', join(dir, 'out')];
    if (content !== undefined) {
        writeFileSync(join(dir, 'content'), content);
        args.push('-content', join(dir, 'content'));
    }
    execFileSync('openssl', args, {stdio: ['ignore', 'ignore', 'pipe']});
    return execFileSync('cat', [join(dir, 'out')]).toString('utf8');
}

/** The extension for Firefox: the same files with manifest.firefox.json as its manifest. */
export function firefoxExtension(world) {
    const dir = join(world.work, 'extension-firefox');
    cpSync(extensionDir, dir, {recursive: true});
    cpSync(join(extensionDir, 'manifest.firefox.json'), join(dir, 'manifest.json'));
    rmSync(join(dir, 'manifest.firefox.json'));
    return dir;
}
