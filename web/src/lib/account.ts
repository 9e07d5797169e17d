// The account summary as "get_account" and "account:updated" give it, read
// defensively: a missing or odd member counts as "not known".

export interface Account {
  enabled: boolean;
  signedIn: boolean;
  email: string;
  provider: string;
  // null when the summary does not say; the tray-lock switch is then not offered.
  biometric: boolean | null;
}

export function readAccount(raw: unknown): Account | null {
  if (!raw || typeof raw !== 'object' || Array.isArray(raw)) return null;
  const o = raw as Record<string, unknown>;
  const text = (v: unknown) => (typeof v === 'string' ? v : '');
  return {
    enabled: o.enabled === true,
    signedIn: o.signedIn === true,
    email: text(o.email),
    provider: text(o.provider),
    biometric: typeof o.biometric === 'boolean' ? o.biometric : null,
  };
}

const PROVIDER_NAMES: Record<string, string> = { google: 'Google', apple: 'Apple', email: 'an e-mail link' };

export function accountSummary(a: Account | null): string {
  if (!a) return 'The account summary could not be read.';
  if (!a.signedIn) return a.enabled ? 'Not signed in.' : 'Not signed in. Cloud sync is off.';
  const who = a.email || 'an account without an e-mail address';
  const via = PROVIDER_NAMES[a.provider];
  return `Signed in as ${who}${via ? ` with ${via}` : ''}.${a.enabled ? '' : ' Cloud sync is off.'}`;
}

// What the diagnostics switch allows, said in full: only warnings and errors
// of the app's own log leave the computer, with these identifiers.
export const TELEMETRY_WORDING =
  'When you are signed in, Corvane sends the warnings and errors from its own log (time, level, a short activity word and the message) ' +
  'with the app version, the system version, a random ID for this computer and one for this session. ' +
  'The contents of notes and files are not sent, though a message may name the note or folder it is about. ' +
  'Turned off, nothing is sent; the entries wait on this computer.';

// A plausible address before the native side is asked to send a link.
export function plausibleEmail(s: string): boolean {
  return /^[^\s@]+@[^\s@]+\.[^\s@]+$/.test(s.trim());
}
