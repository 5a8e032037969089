// Test doubles: the chrome.* surface the extension uses, a native port the
// test plays the host on, and a clock whose timers run only when told.
import { readFileSync } from 'node:fs';

// What the host and the extension agree on, read from the host's own header.
export const CONTRACT = (() => {
  const text = readFileSync(new URL('../../contract/contract.h', import.meta.url), 'utf8');
  const fact = (name) => {
    const found = text.match(new RegExp(`^#define ${name} "([^"]*)"$`, 'm'));
    if (!found) throw new Error(`contract/contract.h defines no ${name}`);
    return found[1];
  };
  return { hostName: fact('HOST_REGISTERED_NAME'), extensionId: fact('REFERENCE_EXTENSION_ID') };
})();

export class FakeEvent {
  constructor() {
    this.listeners = [];
    this.filters = [];
  }
  addListener(fn, filter) {
    this.listeners.push(fn);
    this.filters.push(filter);
  }
  removeListener(fn) {
    const i = this.listeners.indexOf(fn);
    if (i >= 0) {
      this.listeners.splice(i, 1);
      this.filters.splice(i, 1);
    }
  }
  hasListener(fn) {
    return this.listeners.includes(fn);
  }
  fire(...args) {
    for (const fn of this.listeners.slice()) fn(...args);
  }
}

// One end of a port. postMessage on a disconnected port throws, as Chrome's does.
export class FakePort {
  constructor(name, runtime) {
    this.name = name;
    this.runtime = runtime;
    this.sent = [];
    this.connected = true;
    this.peer = null;
    this.onMessage = new FakeEvent();
    this.onDisconnect = new FakeEvent();
  }
  postMessage(message) {
    if (!this.connected) throw new Error('Attempting to use a disconnected port object');
    // Chrome sends JSON across; a copy catches anything that would not survive it.
    const copy = JSON.parse(JSON.stringify(message));
    this.sent.push(copy);
    if (this.peer && this.peer.connected) this.peer.onMessage.fire(copy, this.peer);
  }
  disconnect() {
    if (!this.connected) return;
    this.connected = false;
    if (this.peer) this.peer.remoteClosed();
  }
  // The other side went away: fire onDisconnect with lastError set, as Chrome does.
  remoteClosed(errorMessage) {
    if (!this.connected && this.closedOnce) return;
    this.connected = false;
    this.closedOnce = true;
    this.runtime.lastError = errorMessage ? { message: errorMessage } : undefined;
    try {
      this.onDisconnect.fire(this);
    } finally {
      this.runtime.lastError = undefined;
    }
  }
  // The test as the native host.
  hostSends(message) {
    this.onMessage.fire(JSON.parse(JSON.stringify(message)), this);
  }
  hostExits(errorMessage = 'Native host has exited.') {
    this.remoteClosed(errorMessage);
  }
}

function rejectWith(message) {
  return Promise.reject(new Error(message));
}

// A browser with windows, their tabs and each tab's frames:
//   fake.addWindow({ id, type, tabs: [{ id, active, frames: [...] }] })
// Tests replace any method (fake.chrome.tabs.query = ...) to make it fail.
export function makeFakeChrome() {
  const windows = new Map();
  const fake = {
    windows,
    lastFocusedId: null,
    nativePorts: [],
    connectNativeCalls: [],
    pagePorts: [],
    addWindow(win) {
      const w = { type: 'normal', tabs: [], ...win };
      windows.set(w.id, w);
      if (fake.lastFocusedId === null && w.type === 'normal') fake.lastFocusedId = w.id;
      return w;
    },
    tab(tabId) {
      for (const w of windows.values()) for (const t of w.tabs) if (t.id === tabId) return t;
      return null;
    },
    get port() {
      return fake.nativePorts[fake.nativePorts.length - 1];
    },
  };

  const runtime = {
    id: CONTRACT.extensionId,
    lastError: undefined,
    onConnect: new FakeEvent(),
    onStartup: new FakeEvent(),
    onInstalled: new FakeEvent(),
    connectNative(name) {
      fake.connectNativeCalls.push(name);
      const p = new FakePort(name, runtime);
      fake.nativePorts.push(p);
      return p;
    },
    // A page's connect: the worker gets the other end through onConnect.
    connect(info = {}) {
      const page = new FakePort(info.name || '', runtime);
      const worker = new FakePort(info.name || '', runtime);
      page.peer = worker;
      worker.peer = page;
      fake.pagePorts.push(page);
      runtime.onConnect.fire(worker);
      return page;
    },
  };

  // The action keeps what was last set, as the toolbar shows it.
  fake.badge = {};
  const action = {};
  for (const [method, field] of [['setBadgeText', 'text'], ['setBadgeBackgroundColor', 'color'], ['setTitle', 'title']]) {
    action[method] = (details) => {
      fake.badge[field] = details[field];
      return Promise.resolve();
    };
  }

  const chrome = {
    runtime,
    action,
    windows: {
      WINDOW_ID_NONE: -1,
      WINDOW_ID_CURRENT: -2,
      onFocusChanged: new FakeEvent(),
      get(id) {
        const w = windows.get(id);
        return w ? Promise.resolve({ id: w.id, type: w.type, focused: false }) : rejectWith(`No window with id: ${id}.`);
      },
      getLastFocused(opts = {}) {
        const w = windows.get(fake.lastFocusedId);
        const types = opts.windowTypes;
        if (!w || (types && !types.includes(w.type))) return rejectWith('No last-focused window');
        return Promise.resolve({ id: w.id, type: w.type, focused: true });
      },
    },
    tabs: {
      query(q) {
        const w = windows.get(q.windowId);
        if (!w) return rejectWith(`No window with id: ${q.windowId}.`);
        const tabs = w.tabs.filter((t) => q.active === undefined || Boolean(t.active) === q.active);
        return Promise.resolve(tabs.map((t) => ({ id: t.id, windowId: w.id, active: Boolean(t.active), url: t.url })));
      },
    },
    webNavigation: {
      getAllFrames({ tabId }) {
        const t = fake.tab(tabId);
        if (!t) return rejectWith(`No tab with id: ${tabId}.`);
        return Promise.resolve(t.frames ? t.frames.map((f) => ({ ...f })) : null);
      },
    },
  };
  fake.chrome = chrome;
  return fake;
}

// Timers that run only inside advance(), in due order.
export class FakeClock {
  constructor(start = 1_000_000) {
    this.time = start;
    this.nextId = 1;
    this.timers = new Map();
    this.now = () => this.time;
    this.setTimeout = (fn, ms = 0) => this.add(fn, ms, 0);
    this.setInterval = (fn, ms = 0) => this.add(fn, ms, Math.max(1, ms));
    this.clearTimeout = (id) => this.timers.delete(id);
    this.clearInterval = this.clearTimeout;
  }
  add(fn, ms, every) {
    const id = this.nextId++;
    this.timers.set(id, { fn, due: this.time + Math.max(0, ms), every });
    return id;
  }
  pending() {
    return this.timers.size;
  }
  // Delays of the pending one-shot timers, from now.
  pendingDelays() {
    return [...this.timers.values()].filter((t) => !t.every).map((t) => t.due - this.time);
  }
  advance(ms) {
    const end = this.time + ms;
    for (;;) {
      let nextId = null;
      let next = null;
      for (const [id, t] of this.timers) if (t.due <= end && (next === null || t.due < next.due)) [nextId, next] = [id, t];
      if (next === null) break;
      this.time = next.due;
      if (next.every) next.due += next.every;
      else this.timers.delete(nextId);
      next.fn();
    }
    this.time = end;
  }
}

// A console that keeps what the code under test logs, and keeps the test output clean.
export function makeConsole() {
  const lines = { log: [], info: [], warn: [], error: [] };
  const c = {};
  for (const level of Object.keys(lines)) c[level] = (...args) => lines[level].push(args.map(String).join(' '));
  c.lines = lines;
  return c;
}

// Lets every promise chain the fakes started run to its end.
export function settle() {
  return new Promise((resolve) => setImmediate(resolve));
}
