// Runs in every DevTools window (the devtools_page): holds a port named after
// the inspected tab for as long as DevTools stays open. The service worker
// sees the port close when DevTools closes.
import { DEVTOOLS_PORT_PREFIX } from './state.js';

// An idle service worker is stopped after about 30 s, which would break the
// port just as closing DevTools does; a message now and then keeps it up.
export const KEEPALIVE_MS = 20000;
// After the worker was stopped or restarted anyway, connect again: that wakes
// it and tells the new worker this tab's DevTools is still open.
export const RECONNECT_MS = 1000;

export function reportDevtools(chrome, timers = globalThis) {
  const tabId = chrome.devtools.inspectedWindow.tabId;
  // DevTools of a worker or an extension page inspects no tab.
  if (!Number.isInteger(tabId) || tabId < 0) return;
  let port = null;

  function open() {
    let p;
    try {
      p = chrome.runtime.connect({ name: DEVTOOLS_PORT_PREFIX + tabId });
    } catch (e) {
      return; // the extension was reloaded: this page is stale
    }
    port = p;
    p.onDisconnect.addListener(() => {
      void chrome.runtime.lastError;
      if (port !== p) return;
      port = null;
      timers.setTimeout(open, RECONNECT_MS);
    });
  }

  open();
  timers.setInterval(() => {
    if (port === null) return;
    try {
      port.postMessage({ keepAlive: true });
    } catch (e) {
      // disconnected under us: its onDisconnect reconnects
    }
  }, KEEPALIVE_MS);
}

if (globalThis.chrome && globalThis.chrome.devtools) reportDevtools(globalThis.chrome);
