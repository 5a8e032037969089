// Test only. The agreement test reads the browser's log (--enable-logging=stderr),
// where each console.log is one line: "loaded" says the extension runs at all,
// then one line per host name of names.json, by its index, with what
// connectNative ended in. The ports are kept so that no started host is dropped.
'use strict';

const TAG = '[agree]';
const ports = [];

console.log(TAG, 'loaded');

function outcome(index, text) {
  // One line whatever the message holds.
  console.log(TAG, String(index), text.replace(/[\r\n]/g, ' '));
}

function connect(name, index) {
  let port;
  try {
    port = chrome.runtime.connectNative(name);
  } catch (e) {
    outcome(index, 'threw ' + (e && e.message ? e.message : String(e)));
    return;
  }
  ports.push(port);
  port.onMessage.addListener(() => outcome(index, 'started'));
  port.onDisconnect.addListener(() => {
    const err = chrome.runtime.lastError;
    outcome(index, 'error ' + (err && err.message ? err.message : '(none)'));
  });
}

fetch(chrome.runtime.getURL('names.json'))
  .then((response) => response.json())
  .then((names) => names.forEach(connect))
  .catch((e) => console.log(TAG, 'names.json', String(e)));
