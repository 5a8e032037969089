import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { Backoff, DevtoolsTracker, parseDevtoolsPortName } from '../state.js';

describe('DevTools port names', () => {
  it('reads the tab id after "devtools-"', () => {
    assert.equal(parseDevtoolsPortName('devtools-42'), 42);
    assert.equal(parseDevtoolsPortName('devtools-0'), 0);
    assert.equal(parseDevtoolsPortName('devtools-1604352817'), 1604352817);
  });

  it('refuses names that carry no tab id', () => {
    for (const bad of ['devtools-', 'devtools-undefined', 'devtools--1', 'devtools-4x', 'devtools-1.5', 'devtools- 4', 'Devtools-4', 'other-4', '', null, undefined, 42])
      assert.equal(parseDevtoolsPortName(bad), null, String(bad));
  });
});

describe('DevTools tracking', () => {
  it('keeps a tab open while any of its ports is connected', () => {
    const t = new DevtoolsTracker();
    const a = {};
    const b = {};
    assert.equal(t.isOpen(1), false);
    t.opened(1, a);
    t.opened(1, b);
    assert.equal(t.isOpen(1), true);
    t.closed(1, a);
    assert.equal(t.isOpen(1), true);
    t.closed(1, b);
    assert.equal(t.isOpen(1), false);
  });

  it('leaves other tabs alone', () => {
    const t = new DevtoolsTracker();
    const a = {};
    const b = {};
    t.opened(1, a);
    t.opened(2, b);
    t.closed(1, a);
    assert.equal(t.isOpen(1), false);
    assert.equal(t.isOpen(2), true);
    t.closed(3, {});
    assert.equal(t.isOpen(2), true);
  });

  it('does not let a port closed twice close the tab for another port', () => {
    const t = new DevtoolsTracker();
    const a = {};
    const b = {};
    t.opened(1, a);
    t.opened(1, b);
    t.closed(1, a);
    t.closed(1, a);
    assert.equal(t.isOpen(1), true);
  });

  it('does not close a tab for a port of another tab', () => {
    const t = new DevtoolsTracker();
    const a = {};
    t.opened(1, a);
    t.closed(2, a);
    assert.equal(t.isOpen(1), true);
  });
});

describe('reconnect back-off', () => {
  // The schedule through the worker's wiring is in worker.test.mjs; here, the
  // class's own parameters.
  it('honours other first, cap and reset values', () => {
    const b = new Backoff({ first: 10, max: 35, resetAfter: 100 });
    assert.deepEqual([b.nextDelay(0), b.nextDelay(0), b.nextDelay(99), b.nextDelay(0), b.nextDelay(100)], [10, 20, 35, 35, 10]);
  });
});
