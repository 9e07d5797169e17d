// Shortcut texts as the native side stores them ("Option+X", "Cmd+Shift+K")
// and mouse button ids ("button3", "hid:9:5"), put into the words of this
// desktop: Option is the Alt key, Cmd the Super key, and the extra buttons
// carry the X numbers a user sees in other tools.

const MODIFIERS: Record<string, 'Ctrl' | 'Alt' | 'Shift' | 'Super'> = {
  Cmd: 'Super',
  Command: 'Super',
  Super: 'Super',
  Meta: 'Super',
  Ctrl: 'Ctrl',
  Control: 'Ctrl',
  Option: 'Alt',
  Alt: 'Alt',
  Opt: 'Alt',
  Shift: 'Shift',
};
const ORDER = ['Ctrl', 'Alt', 'Shift', 'Super'] as const;

export interface AcceleratorParts {
  modifiers: string[];
  key: string;
}

// Splits like the native parser: empty pieces dropped, modifier names matched
// exactly, the last other piece is the key. Null when there is no key.
export function acceleratorParts(text: string): AcceleratorParts | null {
  const held = new Set<string>();
  let key = '';
  for (const piece of text.split('+')) {
    if (piece === '') continue;
    const m = MODIFIERS[piece];
    if (m) held.add(m);
    else key = piece;
  }
  if (key === '') return null;
  if (key.length === 1) key = key.toUpperCase();
  return { modifiers: ORDER.filter((m) => held.has(m)), key };
}

// What the page shows for a stored shortcut; a text that does not parse is
// shown as it stands, so the user sees what is actually stored.
export function displayAccelerator(text: string): string {
  const parts = acceleratorParts(text);
  return parts ? [...parts.modifiers, parts.key].join('+') : text;
}

export const NO_BUTTON = 'None';

export function isNoButton(id: string): boolean {
  return id === '' || id === '—' || id === 'none';
}

// "button3" is the X button 8 (the first side button); "hid:9:5" is a button
// read from the device itself.
export function displayButton(id: string): string {
  if (isNoButton(id)) return NO_BUTTON;
  let m = /^button(\d{1,9})$/.exec(id);
  if (m) {
    const n = Number(m[1]);
    return n >= 3 ? `Mouse button ${n + 5}` : id;
  }
  m = /^hid:(\d{1,9}):(\d{1,9})$/.exec(id);
  if (m) return `Device button ${m[2]} (page ${m[1]})`;
  return id;
}
