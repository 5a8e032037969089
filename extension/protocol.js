// The messages exchanged with the native host, as pure functions: nothing here
// touches chrome.*, so the Node tests run exactly this code.

export const HOST_NAME = 'com.orvendel.native_host';

// The host copies an answer into a shared block of its own; past this many
// UTF-16 units it would cut the text in the middle of a URL.
export const MAX_ANSWER_UNITS = 49990;

// A window id the host can bind: it reads FindHandle's argument as a signed
// 32-bit integer and refuses 0.
export function isBindableWindowId(id) {
  return Number.isInteger(id) && id !== 0 && id >= -0x80000000 && id <= 0x7fffffff;
}

// The id in a question's Data. The host only asks with ids it got from us,
// so anything else is a fault worth logging, not answering.
export function parseQuestionWindowId(data) {
  if (typeof data !== 'string' && typeof data !== 'number') return null;
  if (typeof data === 'string' && data.trim() === '') return null;
  const id = Number(data);
  if (!Number.isSafeInteger(id) || id === 0) return null;
  return id;
}

export function findHandleMessage(windowId) {
  return { CommandID: 'FindHandle', CommandArgs: windowId };
}

export function urlListMessage(args) {
  return { CommandID: 'ReturnUrlList', CommandArgs: args };
}

export function devtoolsMessage(args) {
  return { CommandID: 'ReturnCheckDevtools', CommandArgs: args };
}

// The host splits an answer on ";", so a ";" inside a URL would start a new
// field. Only that character is touched: an existing "%3B" stays as it is.
export function escapeUrl(url) {
  return url.split(';').join('%3B');
}

// Frames in tree order: the main frame, then its children, then theirs, with
// siblings in the order the API gave them. frameId says nothing about page
// order, so it is never used to sort. Frames whose parent is not in the list
// (a subtree torn down mid-query) still go out, after the rest, in API order.
export function orderFrames(frames) {
  if (!Array.isArray(frames)) return [];
  const list = frames.filter((f) => f && typeof f === 'object');
  const children = new Map();
  for (const f of list) {
    const kids = children.get(f.parentFrameId);
    if (kids) kids.push(f);
    else children.set(f.parentFrameId, [f]);
  }
  const ordered = [];
  const seen = new Set();
  const queue = (children.get(-1) || []).slice();
  while (queue.length > 0) {
    const f = queue.shift();
    if (seen.has(f)) continue;
    seen.add(f);
    ordered.push(f);
    // A frame that names itself as parent must not loop.
    for (const kid of children.get(f.frameId) || []) if (kid !== f) queue.push(kid);
  }
  for (const f of list) if (!seen.has(f)) ordered.push(f);
  return ordered;
}

// "<id>;<url1>;<url2>;..." with whole URLs only: the first URL that would
// cross the limit is left out, and so is everything after it.
export function formatUrlList(windowId, frames) {
  let text = `${windowId};`;
  let first = true;
  for (const frame of orderFrames(frames)) {
    if (typeof frame.url !== 'string') continue;
    const piece = (first ? '' : ';') + escapeUrl(frame.url);
    if (text.length + piece.length > MAX_ANSWER_UNITS) break;
    text += piece;
    first = false;
  }
  return text;
}

export function formatDevtools(windowId, open) {
  return `${windowId};${open ? 1 : 0}`;
}

// What the host gets for a window we cannot see (closed, or no active tab).
export function unknownWindowAnswer(kind, windowId) {
  return kind === 'GetURL' ? urlListMessage(`${windowId};`) : devtoolsMessage(formatDevtools(windowId, false));
}
