// The demo page: every control calls one function of tessora.js (loaded as a classic script, so
// the globals Tessora and TessoraError exist) and shows what came back.

const $ = (id) => document.getElementById(id);
let session = null;

function showError(error) {
    $('error').hidden = false;
    $('error-code').textContent = error.code ?? error.name ?? 'Error';
    $('error-hex').textContent = error.hex ?? '';
    $('error-message').textContent = error.message;
}

function setConnected(connected) {
    for (const button of document.querySelectorAll('.needs-session')) button.disabled = !connected;
    $('connect').disabled = connected;
    $('disconnect').disabled = !connected;
    if (!connected) $('status').textContent = 'Not connected.';
}

// Runs one action: clears the last error, shows a new one, and notices a session that ended.
function action(id, run) {
    $(id).addEventListener('click', async () => {
        $('error').hidden = true;
        try {
            await run();
        } catch (error) {
            showError(error);
        }
        if (session && !session.open) {
            session = null;
            setConnected(false);
        }
    });
}

action('connect', async () => {
    $('status').textContent = 'Connecting…';
    try {
        session = await Tessora.connect({timeout: 3000});
    } catch (error) {
        $('status').textContent = 'Not connected.';
        throw error;
    }
    $('status').textContent = `Connected to the signing host, version ${session.version}.`;
    setConnected(true);
});

action('disconnect', async () => {
    await session?.close();
});

action('set-sm2', async () => {
    const list = $('sm2list').value.split('||').map((name) => name.trim()).filter(Boolean);
    await session.setSM2CSPList(list);
});

action('select', async () => {
    $('props').hidden = true;
    const chosen = await session.selectCertificate({
        subject: $('subject').value,
        issuer: $('issuer').value,
        serial: $('serial').value.replace(/[\s:]/g, ''),
    });
    if (!chosen) return;
    for (const row of $('props').querySelectorAll('tr')) {
        row.querySelector('td').textContent = await session.getSignCertInfo(row.dataset.type);
    }
    $('props').hidden = false;
});

action('sign', async () => {
    $('signature').value = '';
    $('copy').disabled = true;
    $('signature').value = await session.signMsgPKCS7($('text').value, $('hash').value,
                                                      $('attached').checked);
    $('copy').disabled = false;
});

action('copy', async () => {
    $('signature').select();
    try {
        await navigator.clipboard.writeText($('signature').value);
    } catch {
        document.execCommand('copy');
    }
    $('copied').textContent = 'Copied.';
    setTimeout(() => ($('copied').textContent = ''), 2000);
});

action('keyid-button', async () => {
    $('keyid').textContent = '';
    $('keyid').textContent = await session.getKeyID('');
});
