#!/usr/bin/env node
// A native messaging host written the way quick Node.js hosts usually are,
// doing the host's request handling without the Windows objects: the peer
// that orvendel-bench compares the real host with. No npm dependencies.
//
//   node node_host.js        frames on stdin, replies on stdout
//
// Frames: a 4-byte little-endian length, then that many bytes of UTF-8 JSON;
// at most 1,000,000 bytes of a body are taken, the rest is skipped. A
// request is {"CommandID": string, "CommandArgs": string or 32-bit integer};
// anything else is refused with {"Result":"-1","Data":""}, as is an unknown
// command. A zero length or the end of input ends it with one last reply.
//
// Where JSON.parse differs from the host's parser it is not hidden: the last
// of two members of one name counts here, the first in the host.
'use strict';

const MAX_REQUEST_BYTES = 1000000;
const URL_BLOCK_BYTE_LIMIT = 50000;
const URL_BLOCK_CAPPED_UNITS = 50000;
const DEVTOOL_BLOCK_BYTES = 260;

const REPLY = (() => {
  const body = Buffer.from('{"Result":"-1","Data":""}', 'utf8');
  const frame = Buffer.alloc(4 + body.length);
  frame.writeUInt32LE(body.length, 0);
  body.copy(frame, 4);
  return frame;
})();

// What the host keeps between requests: the window registry.
const handleToId = new Map();
const idToHandle = new Map();
// The frontmost browser window, which the host finds on the desktop.
const FRONT_WINDOW = 0x1a2b;
// Stand-ins for the agent's two result blocks.
const urlBlock = Buffer.alloc(URL_BLOCK_CAPPED_UNITS * 2);
const devtoolBlock = Buffer.alloc(DEVTOOL_BLOCK_BYTES);

const out = [];
function reply() {
  out.push(REPLY);
}

function findHandle(windowId) {
  if (windowId === 0) return;
  const old = handleToId.get(FRONT_WINDOW);
  if (old !== undefined && idToHandle.get(old) === FRONT_WINDOW) idToHandle.delete(old);
  handleToId.set(FRONT_WINDOW, windowId);
  if (!idToHandle.has(windowId)) idToHandle.set(windowId, FRONT_WINDOW);
}

// The first ';' field, trimmed, read as _wtoi reads it.
function answerWindowId(text) {
  const semi = text.indexOf(';');
  const field = (semi < 0 ? text : text.slice(0, semi)).trim();
  const m = /^[+-]?\d+/.exec(field);
  if (!m) return 0;
  const v = parseInt(m[0], 10);
  return v > 2147483647 ? 2147483647 : v < -2147483648 ? -2147483648 : v;
}

// "%x;%s" into a zeroed buffer of `units` UTF-16 units, cut to units - 1.
function formatAnswer(text, units) {
  const hwnd = idToHandle.get(answerWindowId(text)) || 0;
  const buffer = Buffer.alloc(units * 2);
  const answer = (hwnd >>> 0).toString(16) + ';' + text;
  buffer.write(answer.length < units ? answer : answer.slice(0, units - 1), 0, 'utf16le');
  return buffer;
}

function returnUrlList(text, size) {
  let units = size + 16;
  if (2 * units > URL_BLOCK_BYTE_LIMIT) units = URL_BLOCK_CAPPED_UNITS;
  formatAnswer(text, units).copy(urlBlock, 0);
}

function returnCheckDevtools(text, size) {
  const buffer = formatAnswer(text, size + 16);
  devtoolBlock.fill(0);
  buffer.copy(devtoolBlock, 0, 0, Math.min(buffer.length, DEVTOOL_BLOCK_BYTES));
}

// A JSON number the host takes as an integer: no fraction, no exponent.
function isInteger(value, body) {
  return Number.isInteger(value) && value >= -2147483648 && value <= 2147483647 &&
    /"CommandArgs"\s*:\s*-?\d+\s*[,}]/.test(body);
}

function handleRequest(bytes) {
  // The text ends at its first zero byte, as the host reads it.
  const zero = bytes.indexOf(0);
  const body = (zero < 0 ? bytes : bytes.subarray(0, zero)).toString('utf8');
  let request;
  try {
    request = JSON.parse(body);
  } catch (e) {
    return reply();
  }
  if (request === null || typeof request !== 'object' || Array.isArray(request) ||
      !Object.prototype.hasOwnProperty.call(request, 'CommandID') ||
      !Object.prototype.hasOwnProperty.call(request, 'CommandArgs')) {
    return reply();
  }
  const command = request.CommandID;
  const args = request.CommandArgs;
  if (typeof command !== 'string') return reply();
  let value = 0;
  let text;
  let size;
  if (typeof args === 'number' && isInteger(args, body)) {
    value = args;
    text = String(args);
    size = Buffer.byteLength(command, 'utf8') + 1;
  } else if (typeof args === 'string') {
    text = args;
    size = Buffer.byteLength(args, 'utf8') + 1;
  } else {
    return reply();
  }
  switch (command.toLowerCase()) {
    case 'findhandle': return findHandle(value);
    case 'returnurllist': return returnUrlList(text, size);
    case 'returncheckdevtools': return returnCheckDevtools(text, size);
    default: return reply();
  }
}

// Input: frames parsed out of whatever chunks arrive.
let pending = Buffer.alloc(0);
let skip = 0;  // body bytes past the limit still to drop
let ended = false;

function finish() {
  if (ended) return;
  ended = true;
  reply();
  flush();
  process.exitCode = 255;
  process.stdin.pause();
}

function flush() {
  if (out.length === 0) return;
  const data = out.length === 1 ? out[0] : Buffer.concat(out);
  out.length = 0;
  process.stdout.write(data);
}

function consume() {
  let at = 0;
  for (;;) {
    if (skip > 0) {
      const n = Math.min(skip, pending.length - at);
      skip -= n;
      at += n;
      if (skip > 0) break;
    }
    if (pending.length - at < 4) break;
    const declared = pending.readUInt32LE(at);
    if (declared === 0) {
      pending = Buffer.alloc(0);
      return finish();
    }
    const length = Math.min(declared, MAX_REQUEST_BYTES);
    if (pending.length - at - 4 < length) break;
    handleRequest(pending.subarray(at + 4, at + 4 + length));
    at += 4 + length;
    skip = declared - length;
  }
  pending = at === 0 ? pending : pending.subarray(at);
  // Replies go out before the host waits for more input.
  flush();
}

process.stdin.on('data', (chunk) => {
  if (ended) return;
  pending = pending.length === 0 ? chunk : Buffer.concat([pending, chunk]);
  consume();
});
process.stdin.on('end', () => {
  // A body cut by the end of input is handled as the bytes that came.
  if (!ended && pending.length >= 4) {
    const declared = pending.readUInt32LE(0);
    if (declared !== 0) {
      handleRequest(pending.subarray(4, 4 + Math.min(declared, MAX_REQUEST_BYTES)));
    }
  }
  finish();
});
