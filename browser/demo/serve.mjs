// Serves browser/ (the demo page and tessora.js) over plain http on the loopback interface:
//   node browser/demo/serve.mjs [--host 127.0.0.1] [--port 8080]
// The extension accepts http only from localhost and 127.0.0.1, so this is for development;
// a real site serves tessora.js over https.

import {createReadStream} from 'node:fs';
import {stat} from 'node:fs/promises';
import {createServer} from 'node:http';
import {extname, join, normalize, sep} from 'node:path';
import {fileURLToPath} from 'node:url';

const kRoot = fileURLToPath(new URL('..', import.meta.url));
const kTypes = {
    '.html': 'text/html; charset=utf-8',
    '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8',
    '.css': 'text/css; charset=utf-8',
    '.json': 'application/json',
    '.ts': 'text/plain; charset=utf-8',
};

/**
 * Starts the server; resolves with its base URL and a close function.
 * @param {{host?: string, port?: number, root?: string}} [options]
 */
export function startServer({host = '127.0.0.1', port = 0, root = kRoot} = {}) {
    const server = createServer(async (request, response) => {
        const path = decodeURIComponent(new URL(request.url, 'http://x').pathname);
        if (path === '/') {
            response.writeHead(302, {Location: '/demo/'});
            response.end();
            return;
        }
        // normalize() resolves "..", and the result must stay inside the root.
        let file = normalize(join(root, path));
        if (file !== root && !file.startsWith(root.endsWith(sep) ? root : root + sep)) {
            response.writeHead(403).end();
            return;
        }
        try {
            if ((await stat(file)).isDirectory()) file = join(file, 'index.html');
            await stat(file);
        } catch {
            response.writeHead(404, {'Content-Type': 'text/plain'}).end('not found');
            return;
        }
        response.writeHead(200, {
            'Content-Type': kTypes[extname(file)] ?? 'application/octet-stream',
            'Cache-Control': 'no-store',
        });
        createReadStream(file).pipe(response);
    });
    return new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(port, host, () => {
            const address = server.address();
            resolve({
                port: address.port,
                url: `http://${host}:${address.port}`,
                close: () => new Promise((done) => server.close(done)),
            });
        });
    });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
    const args = process.argv.slice(2);
    const option = (name, fallback) => {
        const at = args.indexOf(name);
        return at >= 0 ? args[at + 1] : fallback;
    };
    const {url} = await startServer({host: option('--host', '127.0.0.1'),
                                     port: Number(option('--port', 8080))});
    console.log(`serving ${kRoot} on ${url}/demo/`);
}
