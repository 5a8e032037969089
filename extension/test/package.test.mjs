// The extension as the browser loads it: the manifest, the files it names,
// and background.js run against a global chrome as in a service worker.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync, existsSync, readdirSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import path from 'node:path';
import { CONTRACT, makeFakeChrome, settle } from '../test-support/fake-chrome.mjs';

const DIR = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const manifest = JSON.parse(readFileSync(path.join(DIR, 'manifest.json'), 'utf8'));

// Chrome's id for an unpacked extension with a key: sha256 of the DER key,
// first 32 hex digits, 0-9a-f mapped to a-p.
function extensionId(keyBase64) {
  const hex = createHash('sha256').update(Buffer.from(keyBase64, 'base64')).digest('hex').slice(0, 32);
  return [...hex].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

describe('manifest', () => {
  it('carries the key that gives the fixed extension id', () => {
    assert.equal(typeof manifest.key, 'string');
    assert.equal(extensionId(manifest.key), CONTRACT.extensionId);
  });

  it('is Manifest V3 with a module service worker, a DevTools page and exactly the permissions used', () => {
    assert.equal(manifest.manifest_version, 3);
    assert.equal(manifest.name, 'Orvendel reference extension');
    assert.match(manifest.version, /^\d+(\.\d+){0,3}$/);
    assert.deepEqual(manifest.background, { service_worker: 'background.js', type: 'module' });
    assert.equal(manifest.devtools_page, 'devtools.html');
    assert.deepEqual(manifest.action, { default_title: 'Orvendel reference extension' });
    assert.deepEqual([...manifest.permissions].sort(), ['nativeMessaging', 'tabs', 'webNavigation']);
    assert.equal(manifest.content_scripts, undefined);
    assert.equal(manifest.host_permissions, undefined);
  });

  it('names only files that are there', () => {
    assert.ok(existsSync(path.join(DIR, manifest.background.service_worker)));
    assert.ok(existsSync(path.join(DIR, manifest.devtools_page)));
    const html = readFileSync(path.join(DIR, manifest.devtools_page), 'utf8');
    const scripts = [...html.matchAll(/<script\b[^>]*\bsrc="([^"]+)"/g)].map((m) => m[1]);
    assert.deepEqual(scripts, ['devtools.js']);
    assert.match(html, /<script type="module" src="devtools.js">/);
    for (const s of scripts) assert.ok(existsSync(path.join(DIR, s)), s);
  });

  it('loads no remote code and no inline script', () => {
    for (const f of readdirSync(DIR).filter((n) => /\.(js|html)$/.test(n))) {
      const text = readFileSync(path.join(DIR, f), 'utf8');
      assert.doesNotMatch(text, /\bimport\s*(?:[^'"]*from\s*)?['"]https?:/, f);
      assert.doesNotMatch(text, /<script\b(?![^>]*\bsrc=)[^>]*>/, f);
      assert.doesNotMatch(text, /\beval\s*\(|new Function\s*\(/, f);
    }
  });
});

describe('background.js as the service worker', () => {
  let loads = 0;
  async function loadBackground(fake) {
    globalThis.chrome = fake.chrome;
    try {
      await import(`../background.js?load=${++loads}`);
    } finally {
      delete globalThis.chrome;
    }
  }

  it('registers its listeners and connects to the host on load', async () => {
    const fake = makeFakeChrome();
    fake.addWindow({ id: 70, tabs: [{ id: 71, active: true, frames: [{ frameId: 0, parentFrameId: -1, url: 'https://a.example/' }] }] });
    await loadBackground(fake);
    assert.deepEqual(fake.connectNativeCalls, [CONTRACT.hostName]);
    assert.equal(fake.chrome.windows.onFocusChanged.listeners.length, 1);
    assert.equal(fake.chrome.runtime.onConnect.listeners.length, 1);
    await settle();
    fake.port.hostSends({ Result: 'GetURL', Data: '70' });
    await settle();
    assert.deepEqual(fake.port.sent, [
      { CommandID: 'FindHandle', CommandArgs: 70 },
      { CommandID: 'ReturnUrlList', CommandArgs: '70;https://a.example/' },
    ]);
  });

  it('starts afresh for each load', async () => {
    const first = makeFakeChrome();
    const second = makeFakeChrome();
    first.addWindow({ id: 1 });
    second.addWindow({ id: 2 });
    await loadBackground(first);
    await loadBackground(second);
    assert.equal(first.connectNativeCalls.length, 1);
    assert.equal(second.connectNativeCalls.length, 1);
    await settle();
    assert.deepEqual(first.port.sent, [{ CommandID: 'FindHandle', CommandArgs: 1 }]);
    assert.deepEqual(second.port.sent, [{ CommandID: 'FindHandle', CommandArgs: 2 }]);
  });
});
