// The service worker's wiring: the native port and its reconnects, the host's
// questions, window focus and the DevTools pages' ports. Everything reaches
// chrome.* through the object passed in, and time through the options, so the
// tests can run it against fakes.

import {
  HOST_NAME,
  isBindableWindowId,
  parseQuestionWindowId,
  findHandleMessage,
  urlListMessage,
  devtoolsMessage,
  formatUrlList,
  formatDevtools,
  unknownWindowAnswer,
} from './protocol.js';
import { Backoff, DevtoolsTracker, parseDevtoolsPortName } from './state.js';
import { CONNECTED, hostStatus } from './status.js';

// The host waits 5 s for an answer. A chrome API that has not settled well
// before that gets the unknown-window answer instead, so no question is left
// hanging.
export const ANSWER_DEADLINE_MS = 3000;

const TAG = '[orvendel]';

// Messages as JSON text: the browser's log shows a bare object as [object Object].
function show(value) {
  try {
    const text = JSON.stringify(value);
    return text === undefined ? String(value) : text;
  } catch (e) {
    return String(value);
  }
}

function errorText(e) {
  return String(e && e.message ? e.message : e);
}

export function startWorker(chrome, options = {}) {
  const setTimer = options.setTimeout || ((fn, ms) => globalThis.setTimeout(fn, ms));
  const clearTimer = options.clearTimeout || ((t) => globalThis.clearTimeout(t));
  const now = options.now || (() => Date.now());
  const log = options.console || globalThis.console;

  const devtools = new DevtoolsTracker();
  const backoff = new Backoff();
  let port = null;
  let connectedAt = 0;
  let retryTimer = null;

  // Touching lastError in a disconnect listener keeps Chrome from reporting it
  // as unchecked; its text is the only clue why the host went away.
  function lastErrorText() {
    const err = chrome.runtime && chrome.runtime.lastError;
    return err && err.message ? err.message : '';
  }

  // The badge is where a user sees why nothing works; a browser without
  // chrome.action, or one shutting down, must not break the port's handling.
  function showStatus(status) {
    const action = chrome.action;
    if (!action) return;
    const calls = [
      () => action.setBadgeText({ text: status.text }),
      () => action.setBadgeBackgroundColor({ color: status.color }),
      () => action.setTitle({ title: status.title }),
    ];
    for (const call of calls) {
      try {
        const done = call();
        if (done && typeof done.catch === 'function') done.catch((e) => log.info(TAG, 'badge:', errorText(e)));
      } catch (e) {
        log.info(TAG, 'badge:', errorText(e));
      }
    }
  }

  function post(target, message) {
    try {
      target.postMessage(message);
    } catch (e) {
      log.warn(TAG, 'could not send to the host:', errorText(e), show(message));
    }
  }

  function scheduleReconnect(livedMs) {
    const delay = backoff.nextDelay(livedMs);
    log.info(TAG, `reconnecting to the host in ${delay} ms`);
    retryTimer = setTimer(() => {
      retryTimer = null;
      connect();
    }, delay);
  }

  // Only ever one native port: each one is a host process of its own, and two
  // hosts would both answer the agent. While a reconnect is pending the
  // back-off decides when, not whichever event comes first.
  function connect() {
    if (port !== null || retryTimer !== null) return;
    let p;
    try {
      p = chrome.runtime.connectNative(HOST_NAME);
    } catch (e) {
      log.error(TAG, 'connectNative failed:', errorText(e));
      showStatus(hostStatus(errorText(e)));
      scheduleReconnect(0);
      return;
    }
    port = p;
    connectedAt = now();
    // Chromium fails a missing or refused host only after connectNative has
    // returned, through onDisconnect; until then the port counts as up.
    showStatus(CONNECTED);
    p.onMessage.addListener((message) => onHostMessage(p, message));
    p.onDisconnect.addListener(() => onHostDisconnect(p));
    // A new host knows no window yet.
    bindLastFocusedWindow(p);
  }

  function onHostDisconnect(p) {
    const why = lastErrorText();
    if (p !== port) return;
    port = null;
    log.warn(TAG, 'host disconnected', why);
    showStatus(hostStatus(why));
    scheduleReconnect(now() - connectedAt);
  }

  async function bindLastFocusedWindow(p) {
    let win;
    try {
      win = await chrome.windows.getLastFocused({ windowTypes: ['normal'] });
    } catch (e) {
      log.info(TAG, 'no last-focused window to bind:', errorText(e));
      return;
    }
    if (!win || win.type !== 'normal' || !isBindableWindowId(win.id)) return;
    if (p === port) post(p, findHandleMessage(win.id));
  }

  async function onFocusChanged(windowId) {
    const none = chrome.windows.WINDOW_ID_NONE !== undefined ? chrome.windows.WINDOW_ID_NONE : -1;
    if (windowId === none || !isBindableWindowId(windowId)) return;
    let win;
    try {
      win = await chrome.windows.get(windowId);
    } catch (e) {
      return; // closed as it got focus
    }
    // Popups and DevTools windows are not the host's browser windows.
    if (!win || win.type !== 'normal') return;
    if (port !== null) post(port, findHandleMessage(windowId));
  }

  function onHostMessage(p, message) {
    if (!message || typeof message !== 'object') {
      log.warn(TAG, 'unexpected message from the host:', show(message));
      return;
    }
    switch (message.Result) {
      case 'GetURL':
      case 'GetFrameDevTool':
        answerQuestion(p, message.Result, message.Data);
        break;
      case '-1':
        log.warn(TAG, 'the host refused a message:', show(message));
        break;
      default:
        log.warn(TAG, 'unexpected message from the host:', show(message));
    }
  }

  async function activeTab(windowId) {
    const tabs = await chrome.tabs.query({ active: true, windowId });
    if (!Array.isArray(tabs)) return null;
    return tabs.find((t) => t && Number.isInteger(t.id) && t.id >= 0) || null;
  }

  async function computeAnswer(kind, windowId) {
    const tab = await activeTab(windowId);
    if (!tab) return unknownWindowAnswer(kind, windowId);
    if (kind === 'GetURL') {
      const frames = await chrome.webNavigation.getAllFrames({ tabId: tab.id });
      return urlListMessage(formatUrlList(windowId, frames));
    }
    return devtoolsMessage(formatDevtools(windowId, devtools.isOpen(tab.id)));
  }

  function answerQuestion(p, kind, data) {
    const windowId = parseQuestionWindowId(data);
    if (windowId === null) {
      log.warn(TAG, `${kind} with a window id we never sent:`, show(data));
      return;
    }
    let answered = false;
    let deadline = null;
    const reply = (message) => {
      if (answered) return;
      answered = true;
      if (deadline !== null) clearTimer(deadline);
      post(p, message);
    };
    deadline = setTimer(() => {
      log.warn(TAG, `${kind} ${windowId}: browser too slow, answering as unknown`);
      reply(unknownWindowAnswer(kind, windowId));
    }, ANSWER_DEADLINE_MS);
    computeAnswer(kind, windowId).then(reply, (e) => {
      log.info(TAG, `${kind} ${windowId}:`, errorText(e));
      reply(unknownWindowAnswer(kind, windowId));
    });
  }

  function onDevtoolsConnect(p) {
    const tabId = parseDevtoolsPortName(p.name);
    if (tabId === null) return;
    devtools.opened(tabId, p);
    p.onDisconnect.addListener(() => {
      lastErrorText();
      devtools.closed(tabId, p);
    });
    // Keep-alive messages: their arrival is what keeps this worker running.
    p.onMessage.addListener(() => {});
  }

  // Listeners go on synchronously at load: a worker woken by an event only
  // receives it if its listener was there by the end of the first turn.
  chrome.windows.onFocusChanged.addListener(onFocusChanged, { windowTypes: ['normal'] });
  chrome.runtime.onConnect.addListener(onDevtoolsConnect);
  chrome.runtime.onStartup.addListener(() => connect());
  chrome.runtime.onInstalled.addListener(() => connect());
  connect();
}
