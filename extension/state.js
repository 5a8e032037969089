// Bookkeeping the service worker keeps between events, free of chrome.* so
// the Node tests run exactly this code.

export const DEVTOOLS_PORT_PREFIX = 'devtools-';

// Docked DevTools gives the port no sender tab, so the page puts its tab id
// in the port's name.
export function parseDevtoolsPortName(name) {
  if (typeof name !== 'string' || !name.startsWith(DEVTOOLS_PORT_PREFIX)) return null;
  const digits = name.slice(DEVTOOLS_PORT_PREFIX.length);
  if (!/^[0-9]{1,15}$/.test(digits)) return null;
  return Number(digits);
}

// A tab counts as having DevTools open while at least one of its DevTools
// pages holds a port to us. Ports, not a counter, so that a port reported
// closed twice cannot close a tab another port still holds.
export class DevtoolsTracker {
  constructor() {
    this.portsByTab = new Map();
  }

  opened(tabId, port) {
    let ports = this.portsByTab.get(tabId);
    if (!ports) {
      ports = new Set();
      this.portsByTab.set(tabId, ports);
    }
    ports.add(port);
  }

  closed(tabId, port) {
    const ports = this.portsByTab.get(tabId);
    if (!ports) return;
    ports.delete(port);
    if (ports.size === 0) this.portsByTab.delete(tabId);
  }

  isOpen(tabId) {
    return this.portsByTab.has(tabId);
  }
}

export const BACKOFF_FIRST_MS = 1000;
export const BACKOFF_MAX_MS = 60000;
export const BACKOFF_RESET_AFTER_MS = 10000;

// The wait before the next native connection. A host that keeps failing is
// retried ever more slowly; one that served a while before it went away is
// retried soon, as a fresh start.
export class Backoff {
  constructor({ first = BACKOFF_FIRST_MS, max = BACKOFF_MAX_MS, resetAfter = BACKOFF_RESET_AFTER_MS } = {}) {
    this.first = first;
    this.max = max;
    this.resetAfter = resetAfter;
    this.delay = first;
  }

  // livedMs: how long the connection that just ended had been up.
  nextDelay(livedMs) {
    if (livedMs >= this.resetAfter) this.delay = this.first;
    const delay = this.delay;
    this.delay = Math.min(delay * 2, this.max);
    return delay;
  }
}
