import { describe, expect, it } from 'vitest';
import { accountSummary, plausibleEmail, readAccount, TELEMETRY_WORDING } from '../src/lib/account';

describe('account summary', () => {
  it('reads the object the build without accounts answers', () => {
    const a = readAccount({ enabled: false, signedIn: false, email: '', provider: '', biometric: false });
    expect(a).toEqual({ enabled: false, signedIn: false, email: '', provider: '', biometric: false });
    expect(accountSummary(a)).toBe('Not signed in. Cloud sync is off.');
  });

  it.each([
    [{ enabled: true, signedIn: true, email: 'ada@example.com', provider: 'google', biometric: true }, 'Signed in as ada@example.com with Google.'],
    [{ enabled: true, signedIn: true, email: 'ada@example.com', provider: 'email' }, 'Signed in as ada@example.com with an e-mail link.'],
    // A token in the cloud configuration counts as signed in without a user record.
    [{ enabled: true, signedIn: true, email: '', provider: '' }, 'Signed in as an account without an e-mail address.'],
    [{ enabled: false, signedIn: true, email: 'b@c.de', provider: 'apple' }, 'Signed in as b@c.de with Apple. Cloud sync is off.'],
    [{ enabled: true, signedIn: false }, 'Not signed in.'],
  ])('%j reads "%s"', (raw, text) => expect(accountSummary(readAccount(raw))).toBe(text));

  it('odd members count as unknown; the tray lock is offered only when the object says', () => {
    const a = readAccount({ enabled: 'yes', signedIn: 1, email: 7, provider: null, biometric: 'true' });
    expect(a).toEqual({ enabled: false, signedIn: false, email: '', provider: '', biometric: null });
    expect(readAccount(null)).toBeNull();
    expect(readAccount([true])).toBeNull();
    expect(accountSummary(null)).toMatch(/could not be read/);
  });

  it('checks an address before a link is asked for', () => {
    expect(plausibleEmail(' ada@example.com ')).toBe(true);
    for (const bad of ['', 'ada', 'ada@', 'ada@example', 'a da@example.com', '@example.com']) expect(plausibleEmail(bad)).toBe(false);
  });

  it('the diagnostics wording names what leaves the computer and what does not', () => {
    for (const word of ['warnings and errors', 'app version', 'system version', 'random ID for this computer', 'session', 'not sent', 'nothing is sent'])
      expect(TELEMETRY_WORDING).toContain(word);
  });
});
