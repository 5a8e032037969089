import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { reportDevtools, KEEPALIVE_MS, RECONNECT_MS } from '../devtools.js';
import { startWorker } from '../worker.js';
import { makeFakeChrome, FakeClock, makeConsole, settle } from '../test-support/fake-chrome.mjs';

// A DevTools page of its own: chrome.devtools plus a runtime whose connect
// reaches the given worker-side runtime (or a bare fake).
function devtoolsPage(fake, tabId) {
  return { devtools: { inspectedWindow: { tabId } }, runtime: fake.chrome.runtime };
}

describe('DevTools page', () => {
  it('connects once, named after the inspected tab', () => {
    const fake = makeFakeChrome();
    const names = [];
    fake.chrome.runtime.onConnect.addListener((p) => names.push(p.name));
    reportDevtools(devtoolsPage(fake, 1604352818), new FakeClock());
    assert.deepEqual(names, ['devtools-1604352818']);
  });

  it('posts a keep-alive every 20 s, and none before', () => {
    const fake = makeFakeChrome();
    const clock = new FakeClock();
    let received = 0;
    fake.chrome.runtime.onConnect.addListener((p) => p.onMessage.addListener(() => received++));
    reportDevtools(devtoolsPage(fake, 3), clock);
    // Well inside the worker's 30 s idle stop.
    clock.advance(19999);
    assert.equal(received, 0);
    clock.advance(1);
    assert.equal(received, 1);
    clock.advance(60000);
    assert.equal(received, 4);
  });

  it('connects again after the worker went away, and keeps the new port alive', () => {
    const fake = makeFakeChrome();
    const clock = new FakeClock();
    const workerEnds = [];
    fake.chrome.runtime.onConnect.addListener((p) => workerEnds.push(p));
    reportDevtools(devtoolsPage(fake, 3), clock);
    workerEnds[0].disconnect(); // the worker stopped
    clock.advance(RECONNECT_MS - 1);
    assert.equal(workerEnds.length, 1);
    clock.advance(1);
    assert.equal(workerEnds.length, 2);
    assert.equal(workerEnds[1].name, 'devtools-3');
    clock.advance(KEEPALIVE_MS);
    assert.equal(workerEnds[1].peer.sent.length, 1);
    assert.equal(fake.pagePorts[0].sent.length, 0, 'nothing posted on the dead port');
  });

  it('does nothing for DevTools that inspects no tab', () => {
    const fake = makeFakeChrome();
    const clock = new FakeClock();
    for (const tabId of [undefined, -1, null, 'x']) reportDevtools(devtoolsPage(fake, tabId), clock);
    assert.equal(fake.pagePorts.length, 0);
    assert.equal(clock.pending(), 0);
  });

  it('survives a connect that throws (a page left over from a reload)', () => {
    const fake = makeFakeChrome();
    const clock = new FakeClock();
    const page = devtoolsPage(fake, 3);
    page.runtime = { connect() { throw new Error('Extension context invalidated.'); } };
    reportDevtools(page, clock);
    clock.advance(KEEPALIVE_MS * 2);
  });
});

describe('DevTools page and service worker together', () => {
  it('reports open while the page lives and closed once DevTools closes', async () => {
    const fake = makeFakeChrome();
    fake.addWindow({ id: 900, tabs: [{ id: 901, active: true, frames: [] }] });
    const clock = new FakeClock();
    startWorker(fake.chrome, { setTimeout: clock.setTimeout, clearTimeout: clock.clearTimeout, now: clock.now, console: makeConsole() });
    await settle();
    const host = fake.port;
    const devtoolsAnswer = async () => {
      host.hostSends({ Result: 'GetFrameDevTool', Data: '900' });
      await settle();
      return host.sent.at(-1).CommandArgs;
    };
    assert.equal(await devtoolsAnswer(), '900;0');
    const pageClock = new FakeClock();
    reportDevtools(devtoolsPage(fake, 901), pageClock);
    assert.equal(await devtoolsAnswer(), '900;1');
    pageClock.advance(KEEPALIVE_MS * 5);
    assert.equal(await devtoolsAnswer(), '900;1');
    fake.pagePorts[0].disconnect(); // DevTools closed: the page and its port are gone
    assert.equal(await devtoolsAnswer(), '900;0');
  });
});
