// What the action's badge and title say about the native port. Free of
// chrome.*: the worker hands the result to chrome.action.

export const SEE_TROUBLESHOOTING = 'See README: Troubleshooting (orvendel-doctor tells why).';

// chrome.runtime.lastError texts, word for word as Chromium sets them:
// extensions/browser/api/messaging/native_message_host.cc (NativeMessageHost::kNotFoundError,
// kForbiddenError, kNativeHostExited) and message_service.cc (kProhibitedByPoliciesError).
// Anything else (a failed start, a broken pipe, a bad name) is a generic error.
const KNOWN = [
  {
    message: 'Specified native messaging host not found.',
    text: 'MISS',
    color: '#D93025',
    meaning: 'the host is not registered, or its manifest does not load',
  },
  {
    message: 'Access to the specified native messaging host is forbidden.',
    text: 'DENY',
    color: '#D93025',
    meaning: "the host's manifest does not allow this extension",
  },
  {
    message: 'Access to the native messaging host was disabled by the system administrator.',
    text: 'OFF',
    color: '#5F6368',
    meaning: 'a policy blocks the host',
  },
  {
    message: 'Native host has exited.',
    text: 'EXIT',
    color: '#E37400',
    meaning: 'the host started and ended',
  },
];

const GENERIC = { text: 'ERR', color: '#D93025', meaning: 'no connection to the host' };

export const CONNECTED = {
  text: 'ON',
  color: '#188038',
  title: 'Orvendel: connected to the host.',
};

// message: the browser's text ('' when it gave none).
export function hostStatus(message) {
  const known = KNOWN.find((k) => k.message === message) || GENERIC;
  const said = message ? `The browser says: "${message}"` : 'The browser gave no reason.';
  return {
    text: known.text,
    color: known.color,
    title: `Orvendel: ${known.meaning}.\n${said}\n${SEE_TROUBLESHOOTING}`,
  };
}
