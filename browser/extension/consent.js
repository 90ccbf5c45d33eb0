// The consent window: names the origin that asks and sends the person's answer to the background.
// Closing the window without an answer denies.

const api = globalThis.browser ?? globalThis.chrome;
const prompt = new URLSearchParams(window.location.search).get('prompt') ?? '';

const question = await api.runtime.sendMessage({type: 'consent-question', prompt});
if (!question?.origin) {
    document.getElementById('origin').textContent = 'This question is no longer open.';
    document.getElementById('buttons').hidden = true;
} else {
    document.getElementById('origin').textContent = question.origin;
    // The buttons work only once the origin they answer for is shown.
    for (const decision of ['once', 'always', 'deny']) {
        const button = document.getElementById(decision);
        button.addEventListener('click', async () => {
            await api.runtime.sendMessage({type: 'consent-answer', prompt, decision});
            window.close();
        });
        button.disabled = false;
    }
    // The question may stay open for a while; a message now and then keeps the background (a
    // service worker the browser stops when idle) and its open question alive.
    setInterval(() => api.runtime.sendMessage({type: 'keepalive'}), 20000);
}
