// Runs only where the editor must never go.
window.chrome.webview.postMessage('escaped ' + location.href);
