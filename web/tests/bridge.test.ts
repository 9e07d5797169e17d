import { describe, expect, it } from 'vitest';
import { BridgeError, createBridge, NO_BRIDGE, type TauriShim } from '../src/lib/bridge';

function shim(invoke: TauriShim['core']['invoke']): TauriShim & { emit(name: string, payload: unknown): void } {
  const listeners: Record<string, ((e: { payload: unknown }) => void)[]> = {};
  return {
    core: { invoke },
    event: {
      listen: (name, cb) => {
        (listeners[name] ??= []).push(cb);
        return Promise.resolve(() => {
          const list = listeners[name]!;
          list.splice(list.indexOf(cb), 1);
        });
      },
    },
    emit: (name, payload) => listeners[name]?.slice().forEach((cb) => cb({ payload })),
  };
}

describe('invoke wrapper', () => {
  it('passes the command, an empty object for no arguments, and the reply', async () => {
    const seen: unknown[] = [];
    const b = createBridge(() => shim(async (cmd, args) => (seen.push([cmd, args]), { ok: cmd })));
    await expect(b.invoke('get_settings')).resolves.toEqual({ ok: 'get_settings' });
    expect(seen).toEqual([['get_settings', {}]]);
  });

  it.each([
    ['a message text', 'invalid id', 'invalid id'],
    ['an Error', new Error('posting failed'), 'posting failed'],
    ['a non-text value', { code: 3 }, '{"code":3}'],
    ['nothing', undefined, 'unknown failure'],
  ])('turns a rejection with %s into a BridgeError carrying the text', async (_label, reason, text) => {
    const b = createBridge(() => shim(() => Promise.reject(reason)));
    const err = await b.invoke('get_note_body', { id: 'x' }).catch((e: unknown) => e);
    expect(err).toBeInstanceOf(BridgeError);
    expect((err as BridgeError).message).toBe(text);
    expect((err as BridgeError).cmd).toBe('get_note_body');
  });

  it('fails clearly when there is no bridge, and listening is then a no-op', async () => {
    const b = createBridge(() => undefined);
    await expect(b.invoke('list_notes')).rejects.toThrow(NO_BRIDGE);
    expect(() => b.listen('notes:updated', () => {})()).not.toThrow();
  });

  it('delivers event payloads and stops after unlisten, even before listen settled', async () => {
    const s = shim(async () => null);
    const b = createBridge(() => s);
    const got: unknown[] = [];
    const off = b.listen('notes:updated', (p) => got.push(p));
    const early = b.listen('notes:updated', (p) => got.push(['early', p]));
    early(); // before the listen promise resolved
    await Promise.resolve();
    s.emit('notes:updated', [1]);
    off();
    s.emit('notes:updated', [2]);
    expect(got).toEqual([[1]]);
  });
});
