import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { startWorker, ANSWER_DEADLINE_MS } from '../worker.js';
import { CONTRACT, makeFakeChrome, FakeClock, makeConsole, settle } from '../test-support/fake-chrome.mjs';

const WIN = 1604352817; // Chrome's window ids are large
const TAB = 1604352818;

// A browser with one normal window whose active tab shows a page with frames.
function browser() {
  const fake = makeFakeChrome();
  fake.addWindow({
    id: WIN,
    tabs: [
      { id: TAB - 5, active: false, frames: [{ frameId: 0, parentFrameId: -1, url: 'https://background.example/' }] },
      {
        id: TAB,
        active: true,
        frames: [
          { frameId: 0, parentFrameId: -1, url: 'https://doc.example/view;jsessionid=1' },
          { frameId: 6, parentFrameId: 0, url: 'about:srcdoc' },
          { frameId: 2, parentFrameId: 0, url: 'https://viewer.example/' },
          { frameId: 4, parentFrameId: 2, url: 'data:text/html,x' },
        ],
      },
    ],
  });
  return fake;
}

function boot(fake = browser()) {
  const clock = new FakeClock();
  const console = makeConsole();
  startWorker(fake.chrome, { setTimeout: clock.setTimeout, clearTimeout: clock.clearTimeout, now: clock.now, console });
  return { fake, clock, console };
}

async function ask(port, Result, Data) {
  const before = port.sent.length;
  port.hostSends({ Result, Data });
  await settle();
  return port.sent.slice(before);
}

describe('start-up', () => {
  it('registers every listener before the first await', () => {
    const fake = browser();
    startWorker(fake.chrome, { console: makeConsole(), setTimeout: () => 0, clearTimeout: () => {} });
    assert.equal(fake.chrome.windows.onFocusChanged.listeners.length, 1);
    assert.deepEqual(fake.chrome.windows.onFocusChanged.filters[0], { windowTypes: ['normal'] });
    assert.equal(fake.chrome.runtime.onConnect.listeners.length, 1);
    assert.equal(fake.chrome.runtime.onStartup.listeners.length, 1);
    assert.equal(fake.chrome.runtime.onInstalled.listeners.length, 1);
    assert.deepEqual(fake.connectNativeCalls, [CONTRACT.hostName]);
  });

  it('binds the last-focused normal window at once, with an integer id', async () => {
    const { fake } = boot();
    await settle();
    assert.deepEqual(fake.port.sent, [{ CommandID: 'FindHandle', CommandArgs: WIN }]);
  });

  it('asks only for a normal window and binds none when there is none', async () => {
    const fake = makeFakeChrome();
    const asked = [];
    fake.chrome.windows.getLastFocused = (opts) => {
      asked.push(opts);
      return Promise.reject(new Error('No last-focused window'));
    };
    boot(fake);
    await settle();
    assert.deepEqual(asked, [{ windowTypes: ['normal'] }]);
    assert.deepEqual(fake.port.sent, []);
  });

  it('does not bind a popup that getLastFocused hands back anyway', async () => {
    const fake = makeFakeChrome();
    fake.chrome.windows.getLastFocused = () => Promise.resolve({ id: 5, type: 'popup' });
    boot(fake);
    await settle();
    assert.deepEqual(fake.port.sent, []);
  });

  it('opens no second port at onStartup or onInstalled', async () => {
    const { fake } = boot();
    fake.chrome.runtime.onStartup.fire();
    fake.chrome.runtime.onInstalled.fire({ reason: 'install' });
    await settle();
    assert.equal(fake.connectNativeCalls.length, 1);
  });
});

describe('FindHandle on focus', () => {
  async function focus(fake, windowId) {
    const before = fake.port.sent.length;
    fake.chrome.windows.onFocusChanged.fire(windowId);
    await settle();
    return fake.port.sent.slice(before);
  }

  it('binds a normal window that gains focus', async () => {
    const { fake } = boot();
    fake.addWindow({ id: 77, type: 'normal' });
    await settle();
    assert.deepEqual(await focus(fake, 77), [{ CommandID: 'FindHandle', CommandArgs: 77 }]);
    assert.deepEqual(await focus(fake, WIN), [{ CommandID: 'FindHandle', CommandArgs: WIN }]);
  });

  it('ignores focus leaving the browser and windows that are not normal', async () => {
    const { fake } = boot();
    fake.addWindow({ id: 11, type: 'popup' });
    fake.addWindow({ id: 12, type: 'devtools' });
    fake.addWindow({ id: 13, type: 'app' });
    await settle();
    for (const id of [fake.chrome.windows.WINDOW_ID_NONE, 11, 12, 13, 0]) assert.deepEqual(await focus(fake, id), [], `window ${id}`);
  });

  it('ignores a window that is gone by the time it is looked up', async () => {
    const { fake } = boot();
    await settle();
    assert.deepEqual(await focus(fake, 4040), []);
  });

  it('sends nothing, and throws nothing, while there is no port', async () => {
    const { fake } = boot();
    await settle();
    fake.port.hostExits();
    const dead = fake.port;
    fake.chrome.windows.onFocusChanged.fire(WIN);
    await settle();
    assert.equal(dead.sent.length, 1);
    assert.equal(fake.connectNativeCalls.length, 1);
  });
});

describe('GetURL', () => {
  it('answers with the active tab\'s frames in tree order, ";" in URLs as %3B', async () => {
    const { fake } = boot();
    await settle();
    assert.deepEqual(await ask(fake.port, 'GetURL', String(WIN)), [
      {
        CommandID: 'ReturnUrlList',
        CommandArgs: `${WIN};https://doc.example/view%3Bjsessionid=1;about:srcdoc;https://viewer.example/;data:text/html,x`,
      },
    ]);
  });

  it('answers "<id>;" for a window that does not exist', async () => {
    const { fake } = boot();
    await settle();
    assert.deepEqual(await ask(fake.port, 'GetURL', '31337'), [{ CommandID: 'ReturnUrlList', CommandArgs: '31337;' }]);
  });

  it('answers "<id>;" for a window without an active tab, or whose query comes back empty', async () => {
    const { fake } = boot();
    await settle();
    fake.addWindow({ id: 50, tabs: [{ id: 51, active: false, frames: [] }] });
    assert.deepEqual(await ask(fake.port, 'GetURL', '50'), [{ CommandID: 'ReturnUrlList', CommandArgs: '50;' }]);
    fake.chrome.tabs.query = () => Promise.resolve([]);
    assert.deepEqual(await ask(fake.port, 'GetURL', String(WIN)), [{ CommandID: 'ReturnUrlList', CommandArgs: `${WIN};` }]);
  });

  it('answers "<id>;" when a chrome API fails on the way', async () => {
    const failures = {
      'tabs.query rejects': (c) => (c.tabs.query = () => Promise.reject(new Error('No window with id'))),
      'tabs.query throws': (c) => (c.tabs.query = () => { throw new TypeError('bad call'); }),
      'getAllFrames rejects': (c) => (c.webNavigation.getAllFrames = () => Promise.reject(new Error('No tab with id'))),
      'getAllFrames gives null': (c) => (c.webNavigation.getAllFrames = () => Promise.resolve(null)),
      'tab without an id': (c) => (c.tabs.query = () => Promise.resolve([{ id: -1, active: true }])),
    };
    for (const [what, breakIt] of Object.entries(failures)) {
      const { fake } = boot();
      await settle();
      breakIt(fake.chrome);
      assert.deepEqual(await ask(fake.port, 'GetURL', String(WIN)), [{ CommandID: 'ReturnUrlList', CommandArgs: `${WIN};` }], what);
    }
  });

  it('answers as unknown, once and within the host\'s 5 s, when the browser never settles', async () => {
    const { fake, clock } = boot();
    await settle();
    let finish;
    fake.chrome.webNavigation.getAllFrames = () => new Promise((resolve) => (finish = resolve));
    assert.deepEqual(await ask(fake.port, 'GetURL', String(WIN)), []);
    clock.advance(ANSWER_DEADLINE_MS - 1);
    await settle();
    assert.equal(fake.port.sent.length, 1, 'the browser still has time');
    clock.advance(1);
    await settle();
    assert.ok(ANSWER_DEADLINE_MS < 5000);
    assert.deepEqual(fake.port.sent.slice(1), [{ CommandID: 'ReturnUrlList', CommandArgs: `${WIN};` }]);
    finish([{ frameId: 0, parentFrameId: -1, url: 'https://late.example/' }]);
    await settle();
    assert.equal(fake.port.sent.length, 2);
  });

  it('leaves no deadline timer behind once answered', async () => {
    const { fake, clock } = boot();
    await settle();
    await ask(fake.port, 'GetURL', String(WIN));
    assert.equal(clock.pending(), 0);
  });

  it('answers the port that asked, even after a reconnect', async () => {
    const { fake, clock } = boot();
    await settle();
    const first = fake.port;
    let finish;
    fake.chrome.webNavigation.getAllFrames = () => new Promise((resolve) => (finish = resolve));
    first.hostSends({ Result: 'GetURL', Data: String(WIN) });
    await settle();
    first.hostExits();
    clock.advance(1000);
    await settle();
    const second = fake.port;
    assert.notEqual(second, first);
    finish([]);
    await settle();
    assert.deepEqual(second.sent, [{ CommandID: 'FindHandle', CommandArgs: WIN }]);
  });

  it('does not answer a question whose Data is not a window id', async () => {
    const { fake, console } = boot();
    await settle();
    for (const data of ['abc', '0', '', '1.5', undefined, null, '9007199254740993']) {
      assert.deepEqual(await ask(fake.port, 'GetURL', data), [], `Data ${JSON.stringify(data)}`);
      assert.deepEqual(await ask(fake.port, 'GetFrameDevTool', data), [], `Data ${JSON.stringify(data)}`);
    }
    assert.equal(console.lines.warn.length, 14);
  });
});

describe('GetFrameDevTool', () => {
  const answer = (id, open) => [{ CommandID: 'ReturnCheckDevtools', CommandArgs: `${id};${open}` }];

  it('follows the DevTools ports of the window\'s active tab', async () => {
    const { fake } = boot();
    await settle();
    const port = fake.port;
    assert.deepEqual(await ask(port, 'GetFrameDevTool', String(WIN)), answer(WIN, 0));
    const a = fake.chrome.runtime.connect({ name: `devtools-${TAB}` });
    const b = fake.chrome.runtime.connect({ name: `devtools-${TAB}` });
    assert.deepEqual(await ask(port, 'GetFrameDevTool', String(WIN)), answer(WIN, 1));
    a.disconnect();
    assert.deepEqual(await ask(port, 'GetFrameDevTool', String(WIN)), answer(WIN, 1));
    b.disconnect();
    assert.deepEqual(await ask(port, 'GetFrameDevTool', String(WIN)), answer(WIN, 0));
  });

  it('does not count DevTools of another tab, or ports of other names', async () => {
    const { fake } = boot();
    await settle();
    fake.chrome.runtime.connect({ name: `devtools-${TAB - 5}` });
    fake.chrome.runtime.connect({ name: 'devtools-undefined' });
    fake.chrome.runtime.connect({ name: `popup-${TAB}` });
    fake.chrome.runtime.connect({ name: `devtools-${TAB}x` });
    assert.deepEqual(await ask(fake.port, 'GetFrameDevTool', String(WIN)), answer(WIN, 0));
  });

  it('answers "<id>;0" for an unknown window and when the tab query fails', async () => {
    const { fake } = boot();
    await settle();
    fake.chrome.runtime.connect({ name: `devtools-${TAB}` });
    assert.deepEqual(await ask(fake.port, 'GetFrameDevTool', '-12'), answer(-12, 0));
    fake.chrome.tabs.query = () => Promise.reject(new Error('No window with id'));
    assert.deepEqual(await ask(fake.port, 'GetFrameDevTool', String(WIN)), answer(WIN, 0));
  });

  it('accepts keep-alive messages on a DevTools port without answering them', async () => {
    const { fake } = boot();
    await settle();
    const page = fake.chrome.runtime.connect({ name: `devtools-${TAB}` });
    page.postMessage({ keepAlive: true });
    await settle();
    assert.deepEqual(page.peer.sent, []);
    assert.deepEqual(await ask(fake.port, 'GetFrameDevTool', String(WIN)), answer(WIN, 1));
  });
});

describe('messages that are not questions', () => {
  it('logs a refusal with console.warn and does nothing else', async () => {
    const { fake, console, clock } = boot();
    await settle();
    const warned = console.lines.warn.length;
    fake.port.hostSends({ Result: '-1', Data: '' });
    await settle();
    assert.equal(console.lines.warn.length, warned + 1);
    assert.match(console.lines.warn.at(-1), /refused/);
    assert.equal(fake.port.sent.length, 1);
    assert.equal(fake.connectNativeCalls.length, 1);
    assert.equal(clock.pending(), 0);
  });

  it('ignores unknown results and non-objects', async () => {
    const { fake } = boot();
    await settle();
    for (const m of [{ Result: 'Hello', Data: '1' }, 'text', 5, null, [], {}]) fake.port.onMessage.fire(m, fake.port);
    await settle();
    assert.equal(fake.port.sent.length, 1);
  });
});

describe('reconnect', () => {
  it('waits 1 s, then 2, 4 ... up to 60 s while the host keeps failing', async () => {
    const { fake, clock } = boot();
    const waits = [];
    for (let i = 0; i < 9; i++) {
      fake.port.hostExits('Specified native messaging host not found.');
      const calls = fake.connectNativeCalls.length;
      const [delay] = clock.pendingDelays();
      waits.push(delay);
      clock.advance(delay - 1);
      assert.equal(fake.connectNativeCalls.length, calls, 'not before its time');
      clock.advance(1);
      assert.equal(fake.connectNativeCalls.length, calls + 1);
    }
    assert.deepEqual(waits, [1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000]);
  });

  it('waits only 1 s again after a connection that lived 10 s', async () => {
    const { fake, clock } = boot();
    for (let i = 0; i < 4; i++) {
      fake.port.hostExits();
      clock.advance(clock.pendingDelays()[0]);
    }
    clock.advance(10000);
    fake.port.hostExits();
    assert.deepEqual(clock.pendingDelays(), [1000]);
    clock.advance(1000);
    clock.advance(9999);
    fake.port.hostExits();
    assert.deepEqual(clock.pendingDelays(), [2000]);
  });

  it('never opens a second port while one is live', async () => {
    const { fake, clock } = boot();
    await settle();
    fake.chrome.runtime.onStartup.fire();
    fake.chrome.runtime.onInstalled.fire({ reason: 'update' });
    fake.chrome.windows.onFocusChanged.fire(WIN);
    fake.port.hostSends({ Result: 'GetURL', Data: String(WIN) });
    clock.advance(120000);
    await settle();
    assert.equal(fake.connectNativeCalls.length, 1);
  });

  it('lets the back-off, not onStartup, decide when to connect again', async () => {
    const { fake, clock } = boot();
    fake.port.hostExits();
    fake.chrome.runtime.onStartup.fire();
    fake.chrome.runtime.onInstalled.fire({ reason: 'update' });
    assert.equal(fake.connectNativeCalls.length, 1);
    clock.advance(1000);
    assert.equal(fake.connectNativeCalls.length, 2);
    assert.equal(clock.pending(), 0);
  });

  it('ignores a second disconnect report from an old port', async () => {
    const { fake, clock } = boot();
    const old = fake.port;
    old.hostExits();
    clock.advance(1000);
    old.onDisconnect.fire(old);
    assert.equal(clock.pending(), 0);
    clock.advance(120000);
    assert.equal(fake.connectNativeCalls.length, 2);
  });

  it('binds the focused window again on the new port', async () => {
    const { fake, clock } = boot();
    await settle();
    fake.port.hostExits();
    clock.advance(1000);
    await settle();
    assert.equal(fake.nativePorts.length, 2);
    assert.deepEqual(fake.port.sent, [{ CommandID: 'FindHandle', CommandArgs: WIN }]);
  });

  it('retries with the back-off when connectNative itself throws', async () => {
    const fake = browser();
    const real = fake.chrome.runtime.connectNative;
    let throwsLeft = 2;
    fake.chrome.runtime.connectNative = (name) => {
      if (throwsLeft-- > 0) {
        fake.connectNativeCalls.push(name);
        throw new Error('Access to the native messaging host was disabled');
      }
      return real(name);
    };
    const { clock, console } = boot(fake);
    assert.equal(console.lines.error.length, 1);
    assert.deepEqual(clock.pendingDelays(), [1000]);
    clock.advance(1000);
    assert.deepEqual(clock.pendingDelays(), [2000]);
    clock.advance(2000);
    assert.equal(fake.nativePorts.length, 1);
    assert.equal(fake.connectNativeCalls.length, 3);
    assert.equal(clock.pending(), 0);
  });

  it('logs why the host went away', async () => {
    const { fake, console } = boot();
    fake.port.hostExits('Native host has exited.');
    assert.ok(console.lines.warn.some((l) => l.includes('Native host has exited.')));
  });
});

describe('badge and title', () => {
  const see = 'See README: Troubleshooting (orvendel-doctor tells why).';
  const says = (meaning, message) => `Orvendel: ${meaning}.\nThe browser says: "${message}"\n${see}`;
  const red = '#D93025';
  // [case, lastError at disconnect (null: none yet), what the action shows]
  const states = [
    ['connected', null, { text: 'ON', color: '#188038', title: 'Orvendel: connected to the host.' }],
    ['not found', 'Specified native messaging host not found.',
      { text: 'MISS', color: red, title: says('the host is not registered, or its manifest does not load', 'Specified native messaging host not found.') }],
    ['forbidden', 'Access to the specified native messaging host is forbidden.',
      { text: 'DENY', color: red, title: says("the host's manifest does not allow this extension", 'Access to the specified native messaging host is forbidden.') }],
    ['blocked by policy', 'Access to the native messaging host was disabled by the system administrator.',
      { text: 'OFF', color: '#5F6368', title: says('a policy blocks the host', 'Access to the native messaging host was disabled by the system administrator.') }],
    ['host exited', 'Native host has exited.',
      { text: 'EXIT', color: '#E37400', title: says('the host started and ended', 'Native host has exited.') }],
    ['any other error', 'Failed to start native messaging host.',
      { text: 'ERR', color: red, title: says('no connection to the host', 'Failed to start native messaging host.') }],
    ['a text that differs only in case', 'specified native messaging host not found.',
      { text: 'ERR', color: red, title: says('no connection to the host', 'specified native messaging host not found.') }],
    ['no lastError at all', '',
      { text: 'ERR', color: red, title: `Orvendel: no connection to the host.\nThe browser gave no reason.\n${see}` }],
  ];

  it('shows each state, and connected again once the back-off reconnects', async () => {
    for (const [what, lastError, shown] of states) {
      const { fake, clock } = boot();
      await settle();
      if (lastError !== null) {
        fake.port.hostExits(lastError);
        assert.deepEqual(fake.badge, shown, what);
        assert.deepEqual(clock.pendingDelays(), [1000], `${what}: still reconnects`);
        clock.advance(1000);
        assert.equal(fake.connectNativeCalls.length, 2, what);
      }
      assert.deepEqual(fake.badge, states[0][2], `${what}: connected`);
    }
  });

  it('shows why connectNative threw', () => {
    const fake = browser();
    fake.chrome.runtime.connectNative = () => {
      throw new Error('Access to the native messaging host was disabled by the system administrator.');
    };
    boot(fake);
    assert.deepEqual(fake.badge, states[3][2]);
  });

  it('keeps the port working when the action is missing or its setters fail', async () => {
    const breakages = {
      'no chrome.action': (c) => delete c.action,
      'setters throw': (c) => (c.action.setBadgeText = c.action.setTitle = () => { throw new Error('gone'); }),
      'setters reject': (c) => (c.action.setBadgeBackgroundColor = () => Promise.reject(new Error('gone'))),
    };
    for (const [what, breakIt] of Object.entries(breakages)) {
      const fake = browser();
      breakIt(fake.chrome);
      const { clock } = boot(fake);
      await settle();
      fake.port.hostExits('Specified native messaging host not found.');
      clock.advance(1000);
      await settle();
      assert.deepEqual(fake.port.sent, [{ CommandID: 'FindHandle', CommandArgs: WIN }], what);
    }
  });
});
