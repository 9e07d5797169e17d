import { beforeEach, describe, expect, it } from 'vitest';
import { NoteSaver, type SaveState, type Timers } from '../src/lib/saver';
import { LOCKED, NON_IMAGE, STALE, STALE_TEXT } from '../src/lib/sentinels';

// A hand-driven clock: timers run only when the test advances time.
class FakeTimers implements Timers {
  now = 0;
  private seq = 0;
  private pending = new Map<number, { at: number; fn: () => void }>();
  set(fn: () => void, ms: number) {
    const id = ++this.seq;
    this.pending.set(id, { at: this.now + ms, fn });
    return id;
  }
  clear(handle: unknown) {
    this.pending.delete(handle as number);
  }
  async advance(ms: number) {
    const until = this.now + ms;
    for (;;) {
      const due = [...this.pending.entries()].filter(([, t]) => t.at <= until).sort((a, b) => a[1].at - b[1].at)[0];
      if (!due) break;
      this.pending.delete(due[0]);
      this.now = due[1].at;
      due[1].fn();
      await flushMicrotasks();
    }
    this.now = until;
    await flushMicrotasks();
  }
}

async function flushMicrotasks() {
  for (let i = 0; i < 20; i++) await Promise.resolve();
}

interface Harness {
  text: string;
  saves: { html: string; force: boolean }[];
  states: SaveState[];
  answers: (() => Promise<unknown>)[];
  saver: NoteSaver;
  timers: FakeTimers;
}

function harness(): Harness {
  const timers = new FakeTimers();
  const h = { text: 'a', saves: [], states: [], answers: [], timers } as unknown as Harness;
  h.saver = new NoteSaver({
    read: () => h.text,
    save: (html, force) => {
      h.saves.push({ html, force });
      const answer = h.answers.shift();
      return answer ? answer() : Promise.resolve({ nativeAttachmentsBackedUp: 0 });
    },
    onState: (s) => h.states.push(s),
    delayMs: 600,
    retryDelaysMs: [1000, 3000],
    timers,
  });
  h.saver.baseline('a');
  return h;
}

const status = (h: Harness) => h.saver.current.status;

describe('debounced saving', () => {
  let h: Harness;
  beforeEach(() => {
    h = harness();
  });

  it('sends one save with the newest text after the pause, not one per key', async () => {
    for (const t of ['ab', 'abc', 'abcd']) {
      h.text = t;
      h.saver.edit();
      await h.timers.advance(300);
    }
    expect(h.saves).toEqual([]);
    expect(status(h)).toBe('pending');
    await h.timers.advance(600);
    expect(h.saves).toEqual([{ html: 'abcd', force: false }]);
    expect(status(h)).toBe('saved');
    expect(h.states.map((s) => s.status)).toContain('saving');
  });

  it('an edit back to the saved text sends nothing', async () => {
    h.text = 'a';
    h.saver.edit();
    await h.timers.advance(1000);
    expect(h.saves).toEqual([]);
    expect(status(h)).toBe('saved');
  });

  it('edits during a save are sent after it, never in parallel', async () => {
    let release!: () => void;
    h.answers.push(() => new Promise((r) => (release = () => r(null))));
    h.text = 'first';
    h.saver.edit();
    await h.timers.advance(600);
    expect(status(h)).toBe('saving');
    h.text = 'second';
    h.saver.edit();
    await h.timers.advance(600);
    expect(h.saves.map((s) => s.html)).toEqual(['first']);
    release();
    await h.timers.advance(600);
    expect(h.saves.map((s) => s.html)).toEqual(['first', 'second']);
    expect(status(h)).toBe('saved');
  });

  it('flush saves at once and waits for the answer', async () => {
    h.text = 'closing';
    h.saver.edit();
    await h.saver.flush();
    expect(h.saves).toEqual([{ html: 'closing', force: false }]);
    expect(status(h)).toBe('saved');
  });

  it('a locked note waits for the user, then saves with force from then on', async () => {
    h.answers.push(() => Promise.reject(`${LOCKED}This note has an attachment that saving would remove.`));
    h.text = 'edit';
    h.saver.edit();
    await h.timers.advance(600);
    expect(h.saver.current.failure).toEqual({ kind: 'locked', text: 'This note has an attachment that saving would remove.' });
    // Typing on does not resend the refused save.
    h.text = 'edit more';
    h.saver.edit();
    await h.timers.advance(5000);
    expect(h.saves).toHaveLength(1);
    await h.saver.retry(true);
    expect(h.saves.at(-1)).toEqual({ html: 'edit more', force: true });
    expect(status(h)).toBe('saved');
    h.text = 'later';
    h.saver.edit();
    await h.timers.advance(600);
    expect(h.saves.at(-1)).toEqual({ html: 'later', force: true });
  });

  it.each([
    [STALE, 'stale', STALE_TEXT],
    [STALE_TEXT, 'stale', STALE_TEXT],
    [`${NON_IMAGE}This note has an attachment Corvane can't safely preserve.`, 'nonimage', "This note has an attachment Corvane can't safely preserve."],
    ['cannot write note: No space left on device', 'other', 'cannot write note: No space left on device'],
  ])('a refusal (%s) keeps the edit, shows its text and is not retried on its own', async (message, kind, text) => {
    h.answers.push(() => Promise.reject(message));
    h.text = 'edit';
    h.saver.edit();
    await h.timers.advance(20000);
    expect(h.saves).toHaveLength(1);
    expect(h.saver.current).toMatchObject({ status: 'error', failure: { kind, text } });
    expect(h.saver.hasUnsaved()).toBe(true);
  });

  it('a transient failure is retried with growing pauses and then left to the user', async () => {
    const slow = () => Promise.reject("Apple Notes didn't answer the attachment check — nothing was changed. Please try again.");
    h.answers.push(slow, slow, slow);
    h.text = 'edit';
    h.saver.edit();
    await h.timers.advance(600);
    expect(h.saves).toHaveLength(1);
    await h.timers.advance(999);
    expect(h.saves).toHaveLength(1);
    await h.timers.advance(1);
    expect(h.saves).toHaveLength(2);
    await h.timers.advance(3000);
    expect(h.saves).toHaveLength(3);
    await h.timers.advance(60000);
    expect(h.saves).toHaveLength(3);
    expect(status(h)).toBe('error');
    await h.saver.retry();
    expect(status(h)).toBe('saved');
  });

  it('discard drops the edit; close stops the timer', async () => {
    h.text = 'x';
    h.saver.edit();
    h.saver.discard();
    await h.timers.advance(1000);
    expect(h.saves).toEqual([]);
    h.saver.edit();
    h.saver.close();
    await h.timers.advance(1000);
    expect(h.saves).toEqual([]);
  });
});
