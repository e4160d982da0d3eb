// Answers the editor program's tests through window.chrome.webview: "ping"
// with "pong <token>" (new with each document), "echo <text>" with the text;
// "go <link|blank|assign|open> <uri>" tries to leave (SELF: this page).
(function () {
  'use strict';
  const webview = window.chrome.webview;
  const token = Math.random().toString(36).slice(2);
  function go(how, uri) {
    if (how === 'assign') location.href = uri;
    else if (how === 'open') window.open(uri);
    else Object.assign(document.body.appendChild(document.createElement('a')), { href: uri, target: how === 'blank' ? '_blank' : '' }).click();
  }
  webview.addEventListener('message', (e) => {
    const [verb, ...rest] = e.data.split(' ');
    if (verb === 'ping') webview.postMessage('pong ' + token);
    else if (verb === 'echo') webview.postMessage(e.data.slice(5));
    else if (verb === 'go') go(rest[0], rest.slice(1).join(' ').replace('SELF', location.href.split('#')[0]));
  });
  webview.postMessage({ not: 'a string' }); // dropped on the way
  webview.postMessage('hello ' + token);
})();
