import { describe, expect, it } from 'vitest';
import { autoCount, columnsFor, fixedColumns, gridChoice, moveCard, orderIds, step, windowCandidates, METRICS } from '../src/lib/grid';
import { allowsForce, classifyFailure, userText, AUTH_DENIED, LOCKED, NON_IMAGE } from '../src/lib/sentinels';
import { joinBody, linesToDivs, newNoteName, separatorsToRules, splitTitle, toDisplayUrls, toStoredUrls } from '../src/lib/markup';
import { buildChart, lastDays } from '../src/lib/chart';
import { ageLabel, localNowSeconds } from '../src/lib/format';

describe('grid arithmetic', () => {
  it.each([
    [6, 3],
    [9, 3],
    [12, 4],
    [1, 1],
    [2, 2],
  ])('a fixed grid of %i has %i columns', (count, columns) => expect(fixedColumns(count)).toBe(columns));

  it('auto fits whole cards of the minimum size, at least one and at most 60', () => {
    const w = METRICS.chromeWidth + 3 * METRICS.cardMinWidth + 2 * METRICS.gap;
    const h = METRICS.chromeHeight + 2 * METRICS.cardMinHeight + METRICS.gap;
    expect(autoCount(w, h)).toBe(6);
    expect(autoCount(w - 1, h)).toBe(4);
    expect(autoCount(10, 10)).toBe(1);
    expect(autoCount(100000, 100000)).toBe(60);
  });

  it('a fixed grid keeps its columns unless the window is too narrow', () => {
    expect(columnsFor({ explicit: true, count: 12 }, 2000, 900)).toBe(4);
    expect(columnsFor({ explicit: true, count: 12 }, 500, 900)).toBe(2);
  });

  it('window candidates are positive and ordered desired ≥ compact ≥ single', () => {
    for (const n of [6, 9, 12, 60]) {
      const c = windowCandidates(n);
      for (const v of Object.values(c)) expect(Number.isInteger(v) && v > 0).toBe(true);
      expect(c.desiredWidth).toBeGreaterThanOrEqual(c.compactWidth);
      expect(c.compactWidth).toBeGreaterThanOrEqual(c.singleWidth);
      expect(c.desiredHeight).toBeGreaterThanOrEqual(c.compactHeight);
    }
  });

  it('the grid choice follows the settings, with counts kept in 1…60', () => {
    expect(gridChoice({ gridCountExplicit: true, gridCount: 9, gridAutoCount: 20 })).toEqual({ explicit: true, count: 9 });
    expect(gridChoice({ gridCountExplicit: false, gridCount: 9, gridAutoCount: 99 })).toEqual({ explicit: false, count: 60 });
  });

  const cards = (spec: string) => spec.split(' ').map((s) => ({ id: s.replace('*', ''), pinned: s.endsWith('*') }));
  const ids = (cs: { id: string }[] | null) => cs?.map((c) => c.id).join(' ') ?? null;
  it.each([
    ['a b c', 0, 2, 'b c a'],
    ['a b c', 2, 0, 'c a b'],
    ['p* a b', 2, 0, 'p b a'], // an unpinned card stops behind the pinned ones
    ['p* q* a', 0, 2, 'q p a'], // a pinned card stays among the pinned
    ['a b', 1, 1, null],
    ['a b', 0, 5, null],
  ])('moving in %s from %i to %i gives %s', (spec, from, to, want) => expect(ids(moveCard(cards(spec), from, to))).toBe(want));

  it('the remembered order has no duplicates or empty ids and at most 500', () => {
    expect(orderIds([{ id: 'a' }, { id: '' }, { id: 'a' }, { id: 'b' }])).toEqual(['a', 'b']);
    expect(orderIds(Array.from({ length: 600 }, (_, i) => ({ id: `n${i}` })))).toHaveLength(500);
  });

  it.each([
    [4, 'ArrowRight', 5],
    [4, 'ArrowDown', 7],
    [1, 'ArrowUp', 0],
    [8, 'ArrowDown', 8],
    [0, 'ArrowLeft', 0],
    [3, 'End', 8],
    [3, 'x', 3],
  ])('keyboard step from %i with %s in a 9-card, 3-column grid lands on %i', (i, key, want) => expect(step(i, key, 9, 3)).toBe(want));
});

describe('sentinel failures', () => {
  it.each([
    [AUTH_DENIED, 'auth'],
    [`${LOCKED}One of this note's attachments isn't downloaded to this Mac yet.`, 'locked'],
    [`${NON_IMAGE}Remove it in Apple Notes.`, 'nonimage'],
    ['cannot read note: No such file or directory', 'other'],
  ])('%s is %s', (message, kind) => expect(classifyFailure(message).kind).toBe(kind));

  it('only locked content allows a forced save, and no token reaches the screen', () => {
    expect(allowsForce(classifyFailure(`${LOCKED}x`))).toBe(true);
    expect(allowsForce(classifyFailure(`${NON_IMAGE}x`))).toBe(false);
    expect(userText(`${LOCKED}This note has an attachment that saving would remove.`)).toBe('This note has an attachment that saving would remove.');
    expect(userText(AUTH_DENIED)).not.toContain('__');
  });
});

describe('note bodies', () => {
  it.each([
    ['<div>Shop &amp; go</div><div>eggs</div>', 'Shop &amp; go', '<div>eggs</div>'],
    ['Shopping\n<div>eggs</div>', 'Shopping', '<div>eggs</div>'],
    ['Just a title', 'Just a title', ''],
    ['<b>no title line</b>', '', '<b>no title line</b>'],
  ])('splits %j into its title and the rest', (body, title, rest) => expect(splitTitle(body)).toEqual({ title, rest }));

  it('plain lines become divisions, markup is left alone, and the title is escaped on the way back', () => {
    expect(linesToDivs('one\n\na < b\n')).toBe('<div>one</div><div><br></div><div>a &lt; b</div>');
    expect(linesToDivs('<div>x</div>')).toBe('<div>x</div>');
    expect(joinBody('Fish & <chips>', '<div>x</div>')).toBe('<div>Fish &amp; &lt;chips&gt;</div><div>x</div>');
  });

  it('media URLs are relative outside app://local and always stored in their app:// form', () => {
    const tag = '<img class="note-img" src="app://local/__thumb/ab.png" data-full-src="app://local/__media/ab.png">';
    const shown = toDisplayUrls(tag, 'http:');
    expect(shown).toBe('<img class="note-img" src="/__thumb/ab.png" data-full-src="/__media/ab.png">');
    expect(toStoredUrls(shown, 'http:')).toBe(tag);
    expect(toDisplayUrls(tag, 'app:')).toBe(tag);
  });

  it('separator lines in every stored spelling show as rules, other lines stay', () => {
    const body = '<div>a</div><div>\u2E3B</div><DIV class="x"><span> &#x2e3b; </span></DIV><p>&#11835;</p><div>\u2E3B and text</div>';
    expect(separatorsToRules(body)).toBe('<div>a</div><hr><hr><hr><div>\u2E3B and text</div>');
  });

  it('a new note gets a free name', () => {
    expect(newNoteName('  ', [])).toBe('Untitled note');
    expect(newNoteName('Ideas', ['Ideas', 'Ideas 2'])).toBe('Ideas 3');
  });
});

describe('insights chart and ages', () => {
  const today = new Date(2026, 2, 31, 15, 0, 0);
  it('covers 90 local days ending today, across a month end', () => {
    const days = lastDays(today);
    expect(days).toHaveLength(90);
    expect(days.at(-1)).toBe('2026-03-31');
    expect(days[0]).toBe('2026-01-01');
  });

  it('scales bars to the best day, ignores days outside the window and keeps small days visible', () => {
    const zero = { thoughts: 0, words: 0, clips: 0, followups: 0, documents: 0, builds: 0, summons: 0, focusSessions: 0 };
    const chart = buildChart(
      [
        { ...zero, date: '2026-03-31', thoughts: 100 },
        { ...zero, date: '2026-03-30', thoughts: 1 },
        { ...zero, date: '2025-01-01', thoughts: 500 },
      ],
      'thoughts',
      today,
      900,
      100,
    );
    expect(chart.max).toBe(100);
    expect(chart.total).toBe(101);
    expect(chart.bars.at(-1)).toMatchObject({ height: 100, y: 0 });
    expect(chart.bars.at(-2)!.height).toBe(2);
    expect(chart.bars.filter((b) => b.height > 0)).toHaveLength(2);
  });

  it('reads ages on the local wall-clock scale; ranks (0, 1, …) show no age', () => {
    const now = new Date();
    const local = localNowSeconds(now);
    expect(ageLabel(-(local - 10), now)).toBe('just now');
    expect(ageLabel(-(local - 3 * 3600), now)).toBe('3 h ago');
    expect(ageLabel(-(local - 86400), now)).toBe('yesterday');
    expect(ageLabel(3, now)).toBe('');
  });

  it.each([
    ['missing', undefined],
    ['null', null],
    ['a string', '-1700000000'],
    ['not a number', NaN],
    ['infinite', -Infinity],
    ['an hour ahead of the clock', 'ahead'],
  ])('shows no age when it is %s', (_what, age) => {
    const now = new Date();
    const value = age === 'ahead' ? -(localNowSeconds(now) + 3600) : age;
    expect(ageLabel(value, now)).toBe('');
  });

  it('a change a few seconds ahead of the clock is "just now"', () => {
    const now = new Date();
    expect(ageLabel(-(localNowSeconds(now) + 5), now)).toBe('just now');
  });
});
