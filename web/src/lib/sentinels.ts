// Store failures the page recognises. Apple Notes refusals start with a token
// followed directly by the text for the user; the rest are shown as they stand.

export const STALE = '__note_stale_id__';
export const AUTH_DENIED = '__notes_auth_denied__';
export const LOCKED = '__note_locked_content__';
export const NON_IMAGE = '__note_nonimage_attachment__';

export const STALE_TEXT =
  "This note was moved or deleted in Apple Notes, so the save couldn't find it. Your edit is preserved — reopen the note from the tray to try again.";
export const AUTH_TEXT =
  'Corvane is not allowed to control Notes, so nothing was saved. Allow it in the automation settings, then save again.';

export type SaveFailure =
  // The note moved or vanished: nothing to retry until it is reopened.
  | { kind: 'stale'; text: string }
  // Permission missing: the user fixes it in the system, then retries as is.
  | { kind: 'auth'; text: string }
  // Attachments stand in the way: a forced save backs them up first.
  | { kind: 'locked'; text: string }
  // An attachment that cannot be kept: the only ways out are outside the tray
  // or discarding the edit.
  | { kind: 'nonimage'; text: string }
  | { kind: 'other'; text: string };

export function classifyFailure(message: string): SaveFailure {
  const trimmed = message.trim();
  if (trimmed === STALE) return { kind: 'stale', text: STALE_TEXT };
  if (trimmed === STALE_TEXT) return { kind: 'stale', text: STALE_TEXT };
  if (trimmed === AUTH_DENIED) return { kind: 'auth', text: AUTH_TEXT };
  if (message.startsWith(LOCKED)) return { kind: 'locked', text: message.slice(LOCKED.length) || message };
  if (message.startsWith(NON_IMAGE)) return { kind: 'nonimage', text: message.slice(NON_IMAGE.length) || message };
  return { kind: 'other', text: message };
}

// Only refusals the user can lift from the tray are retried with force; the
// others would fail the same way again.
export function allowsForce(failure: SaveFailure): boolean {
  return failure.kind === 'locked';
}

// Failures worth retrying on their own after a pause (a busy or slow store);
// everything with a sentinel waits for the user.
export function isTransient(failure: SaveFailure): boolean {
  if (failure.kind !== 'other') return false;
  return /time(d)? ?out|timed out|didn't answer|try again|busy|temporar/i.test(failure.text);
}

// Any failure of any command shown to the user: strip a sentinel prefix so a
// token never reaches the screen.
export function userText(message: string): string {
  return classifyFailure(message).text;
}
