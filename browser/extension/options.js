// The options page: lists the always-allowed origins and revokes them. Revoking ends the signing
// sessions those sites have open (the background watches the stored list).

import {ConsentStore, kAllowedOriginsKey} from './lib/consent.js';

const api = globalThis.browser ?? globalThis.chrome;
const store = new ConsentStore(api.storage.local);

async function render() {
    const origins = await store.list();
    const body = document.getElementById('origins');
    body.replaceChildren(...origins.map((origin) => {
        const row = document.createElement('tr');
        const name = document.createElement('td');
        name.textContent = origin;
        name.className = 'origin-name';
        const action = document.createElement('td');
        const revoke = document.createElement('button');
        revoke.textContent = 'Revoke';
        revoke.dataset.origin = origin;
        revoke.addEventListener('click', () => store.revoke(origin));
        action.append(revoke);
        row.append(name, action);
        return row;
    }));
    document.getElementById('empty').hidden = origins.length !== 0;
}

api.storage.onChanged.addListener((changes, area) => {
    if (area === 'local' && changes[kAllowedOriginsKey]) render();
});
render();
