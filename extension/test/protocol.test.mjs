import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import {
  MAX_ANSWER_UNITS,
  isBindableWindowId,
  parseQuestionWindowId,
  findHandleMessage,
  orderFrames,
  escapeUrl,
  formatUrlList,
  formatDevtools,
  unknownWindowAnswer,
} from '../protocol.js';

const main = (url, frameId = 0) => ({ frameId, parentFrameId: -1, url });
const sub = (frameId, parentFrameId, url) => ({ frameId, parentFrameId, url });
const urls = (frames) => orderFrames(frames).map((f) => f.url);
// A URL of exactly n UTF-16 units.
const urlOf = (n, fill = 'a') => {
  const head = 'https://e.example/';
  return head + fill.repeat(n - head.length);
};

describe('window ids', () => {
  it('takes a question id from Data only as a safe integer other than 0', () => {
    assert.equal(parseQuestionWindowId('1234567890'), 1234567890);
    assert.equal(parseQuestionWindowId('-7'), -7);
    assert.equal(parseQuestionWindowId(2147483647), 2147483647);
    for (const bad of ['0', '', '   ', 'abc', '12abc', '1.5', 'NaN', 'Infinity', '9007199254740993', null, undefined, true, {}, [], 0])
      assert.equal(parseQuestionWindowId(bad), null, `Data ${JSON.stringify(bad)}`);
  });

  it('binds only ids the host reads as a non-zero signed 32-bit integer', () => {
    for (const good of [1, -1, 2147483647, -2147483648, 1604352817]) assert.equal(isBindableWindowId(good), true, String(good));
    for (const bad of [0, 2147483648, -2147483649, 1.5, NaN, '5', null, undefined])
      assert.equal(isBindableWindowId(bad), false, String(bad));
  });

  it('sends FindHandle with the id as a JSON integer, not a string', () => {
    assert.equal(JSON.stringify(findHandleMessage(1604352817)), '{"CommandID":"FindHandle","CommandArgs":1604352817}');
  });
});

describe('frame order', () => {
  it('puts the main frame first wherever the API lists it', () => {
    assert.deepEqual(urls([sub(5, 0, 'b'), main('a'), sub(3, 0, 'c')]), ['a', 'b', 'c']);
  });

  it('goes level by level, not depth first, and not by frameId', () => {
    // a contains b and c (in that page order); b contains d; c contains e.
    const frames = [main('a'), sub(9, 0, 'b'), sub(2, 0, 'c'), sub(4, 9, 'd'), sub(7, 2, 'e')];
    assert.deepEqual(urls(frames), ['a', 'b', 'c', 'd', 'e']);
    // The same tree listed with grandchildren before their parents.
    assert.deepEqual(urls([sub(7, 2, 'e'), sub(4, 9, 'd'), main('a'), sub(9, 0, 'b'), sub(2, 0, 'c')]), ['a', 'b', 'c', 'd', 'e']);
  });

  it('keeps the API order among siblings even when frameIds run backwards', () => {
    assert.deepEqual(urls([main('top'), sub(30, 0, 'first'), sub(20, 0, 'second'), sub(10, 0, 'third')]), ['top', 'first', 'second', 'third']);
  });

  it('lists srcdoc, about:blank and data: frames like any other', () => {
    const frames = [main('https://a.example/'), sub(3, 0, 'about:srcdoc'), sub(1, 0, 'about:blank'), sub(2, 3, 'data:text/html,<p>x</p>')];
    assert.deepEqual(urls(frames), ['https://a.example/', 'about:srcdoc', 'about:blank', 'data:text/html,<p>x</p>']);
  });

  it('still lists frames whose parent is missing, after the tree, and survives a self-parent', () => {
    const frames = [sub(8, 77, 'orphan'), main('a'), sub(1, 0, 'b'), sub(4, 4, 'self')];
    assert.deepEqual(urls(frames), ['a', 'b', 'orphan', 'self']);
  });

  it('has nothing to order in null or junk', () => {
    assert.deepEqual(orderFrames(null), []);
    assert.deepEqual(orderFrames(undefined), []);
    assert.deepEqual(urls([null, 5, main('a')]), ['a']);
  });
});

describe('URL list answer', () => {
  it('is "<id>;" then the URLs joined by ";"', () => {
    assert.equal(formatUrlList(42, [main('https://a.example/'), sub(1, 0, 'https://b.example/x?y=1')]), '42;https://a.example/;https://b.example/x?y=1');
  });

  it('is "<id>;" for a tab without frames', () => {
    assert.equal(formatUrlList(42, []), '42;');
    assert.equal(formatUrlList(42, null), '42;');
  });

  it('writes each ";" in a URL as %3B and changes nothing else', () => {
    const url = 'https://a.example/p;q=1;r?x=%3B&y=%3b#f;g';
    assert.equal(escapeUrl(url), 'https://a.example/p%3Bq=1%3Br?x=%3B&y=%3b#f%3Bg');
    const plain = 'https://ü.example/Straße/日本語/😀?a=b%20c&d=%25#x y';
    assert.equal(escapeUrl(plain), plain);
    assert.equal(formatUrlList(1, [main('a;b'), sub(1, 0, ';')]), '1;a%3Bb;%3B');
  });

  it('keeps a list that ends exactly at the limit', () => {
    const id = 1604352817;
    const first = urlOf(100);
    const room = MAX_ANSWER_UNITS - `${id};`.length - first.length - 1;
    const text = formatUrlList(id, [main(first), sub(1, 0, urlOf(room))]);
    assert.equal(text.length, MAX_ANSWER_UNITS);
    assert.ok(text.endsWith(';' + urlOf(room)));
  });

  it('drops, whole, the URL that would cross the limit and every URL after it', () => {
    const id = 7;
    const first = urlOf(100);
    const room = MAX_ANSWER_UNITS - `${id};`.length - first.length - 1;
    const text = formatUrlList(id, [main(first), sub(1, 0, urlOf(room + 1)), sub(2, 0, 'https://short.example/')]);
    assert.equal(text, `${id};${first}`);
  });

  it('counts the limit in UTF-16 units: a surrogate pair is two', () => {
    const id = 7;
    const head = 'https://e.example/';
    // Every unit but the last two of the room, then one emoji (two units) fits exactly...
    const room = MAX_ANSWER_UNITS - `${id};`.length;
    const exact = head + 'a'.repeat(room - head.length - 2) + '😀';
    assert.equal(exact.length, room);
    assert.equal(formatUrlList(id, [main(exact)]), `${id};${exact}`);
    // ...and one more unit does not.
    const over = head + 'a'.repeat(room - head.length - 1) + '😀';
    assert.equal(formatUrlList(id, [main(over)]), `${id};`);
  });

  it('counts %3B as the three units it becomes', () => {
    const id = 7;
    const room = MAX_ANSWER_UNITS - `${id};`.length;
    const base = urlOf(room - 3);
    assert.equal(formatUrlList(id, [main(base + ';')]), `${id};${base}%3B`);
    assert.equal(formatUrlList(id, [main(base + 'x;')]), `${id};`);
  });

  it('sends no half URL when the main frame alone is over the limit', () => {
    assert.equal(formatUrlList(99, [main(urlOf(MAX_ANSWER_UNITS * 2)), sub(1, 0, 'https://b.example/')]), '99;');
  });

  it('skips frames without a URL but keeps their children', () => {
    assert.equal(formatUrlList(3, [main('a'), { frameId: 1, parentFrameId: 0 }, sub(2, 1, 'c')]), '3;a;c');
  });
});

describe('DevTools and unknown-window answers', () => {
  it('is "<id>;1" when open and "<id>;0" when not', () => {
    assert.equal(formatDevtools(1604352817, true), '1604352817;1');
    assert.equal(formatDevtools(1604352817, false), '1604352817;0');
  });

  it('answers a window we cannot see with an empty list or with 0', () => {
    assert.deepEqual(unknownWindowAnswer('GetURL', 5), { CommandID: 'ReturnUrlList', CommandArgs: '5;' });
    assert.deepEqual(unknownWindowAnswer('GetFrameDevTool', 5), { CommandID: 'ReturnCheckDevtools', CommandArgs: '5;0' });
  });
});
