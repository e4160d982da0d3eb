// A page for the editor program's tests: tries what the test asks and
// answers through window.chrome.webview, as the editor page talks.
//   "ping"            -> "pong <token>" (the token is new with each document)
//   "echo <text>"     -> "<text>"
//   "go <how> <uri>"  tries to leave: how is link, blank (a link to a new
//                     window), assign or open; SELF in the uri is this page
(function () {
  'use strict';
  const webview = window.chrome.webview;
  const token = Math.random().toString(36).slice(2);
  function go(how, uri) {
    if (how === 'assign') return void (location.href = uri);
    if (how === 'open') return void window.open(uri);
    const a = document.createElement('a');
    a.href = uri;
    if (how === 'blank') a.target = '_blank';
    document.documentElement.appendChild(a);
    a.click();
  }
  function onMessage(e) {
    const text = e.data;
    if (text === 'ping') webview.postMessage('pong ' + token);
    else if (text.startsWith('echo ')) webview.postMessage(text.slice(5));
    else if (text.startsWith('go ')) {
      const [how, ...rest] = text.slice(3).split(' ');
      go(how, rest.join(' ').replace('SELF', location.href.split('#')[0]));
    }
  }
  webview.addEventListener('message', onMessage);
  webview.postMessage({ not: 'a string' }); // dropped on the way
  webview.postMessage('hello ' + token);
})();
