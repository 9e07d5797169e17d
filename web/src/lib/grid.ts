// Grid arithmetic: how many cards the tray shows, how they are laid out, the
// window sizes the native side may fit the tray to, and card reordering.

export const FIXED_SIZES = [6, 9, 12] as const;
export const MAX_CARDS = 60;

export interface GridChoice {
  explicit: boolean;
  count: number;
}

export interface Metrics {
  cardMinWidth: number;
  cardWidth: number;
  cardMinHeight: number;
  cardHeight: number;
  gap: number;
  // Space around the grid: page padding plus the search bar and footer.
  chromeWidth: number;
  chromeHeight: number;
}

export const METRICS: Metrics = {
  cardMinWidth: 200,
  cardWidth: 260,
  cardMinHeight: 150,
  cardHeight: 180,
  gap: 12,
  chromeWidth: 32,
  chromeHeight: 112,
};

export function clampCount(n: number): number {
  if (!Number.isFinite(n)) return 1;
  return Math.min(MAX_CARDS, Math.max(1, Math.floor(n)));
}

// Columns for a fixed grid: 6 → 3×2, 9 → 3×3, 12 → 4×3; anything else a
// near-square shape that is wider than tall.
export function fixedColumns(count: number): number {
  if (count === 12) return 4;
  if (count <= 3) return Math.max(1, count);
  return Math.ceil(Math.sqrt(count));
}

function span(n: number, size: number, gap: number): number {
  return n * size + Math.max(0, n - 1) * gap;
}

// How many columns and rows of at least the minimum card size fit the space.
export function autoShape(width: number, height: number, m: Metrics = METRICS): { columns: number; rows: number } {
  const innerW = Math.max(0, width - m.chromeWidth);
  const innerH = Math.max(0, height - m.chromeHeight);
  const columns = Math.max(1, Math.floor((innerW + m.gap) / (m.cardMinWidth + m.gap)));
  const rows = Math.max(1, Math.floor((innerH + m.gap) / (m.cardMinHeight + m.gap)));
  return { columns, rows };
}

export function autoCount(width: number, height: number, m: Metrics = METRICS): number {
  const { columns, rows } = autoShape(width, height, m);
  return clampCount(columns * rows);
}

export function columnsFor(choice: GridChoice, width: number, height: number, m: Metrics = METRICS): number {
  if (!choice.explicit) return autoShape(width, height, m).columns;
  // A fixed grid keeps its shape unless the window is too narrow for it.
  const wanted = fixedColumns(choice.count);
  const fit = autoShape(width, height, m).columns;
  return Math.max(1, Math.min(wanted, fit));
}

export interface WindowCandidates {
  desiredWidth: number;
  desiredHeight: number;
  compactWidth: number;
  compactHeight: number;
  singleWidth: number;
  singleHeight: number;
}

// The three sizes offered to "fit_grid_window" for a fixed grid: the grid at a
// comfortable card size, the grid at the minimum card size, and one column of
// minimum cards for a small screen. All are positive whole pixels.
export function windowCandidates(count: number, m: Metrics = METRICS): WindowCandidates {
  const n = clampCount(count);
  const columns = fixedColumns(n);
  const rows = Math.ceil(n / columns);
  const size = (cols: number, rws: number, w: number, h: number) => ({
    w: Math.round(span(cols, w, m.gap) + m.chromeWidth),
    h: Math.round(span(rws, h, m.gap) + m.chromeHeight),
  });
  const desired = size(columns, rows, m.cardWidth, m.cardHeight);
  const compact = size(columns, rows, m.cardMinWidth, m.cardMinHeight);
  const single = size(1, Math.min(rows, 3), m.cardMinWidth, m.cardMinHeight);
  return {
    desiredWidth: desired.w,
    desiredHeight: desired.h,
    compactWidth: compact.w,
    compactHeight: compact.h,
    singleWidth: single.w,
    singleHeight: single.h,
  };
}

export function gridChoice(settings: { gridCountExplicit: boolean; gridCount: number; gridAutoCount: number }): GridChoice {
  return settings.gridCountExplicit
    ? { explicit: true, count: clampCount(settings.gridCount) }
    : { explicit: false, count: clampCount(settings.gridAutoCount) };
}

// Moving a card: pinned cards stay in front of the others, so a card only
// moves within its own group. Returns the new order or null when nothing moves.
export function moveCard<T extends { id: string; pinned: boolean }>(cards: T[], from: number, to: number): T[] | null {
  if (from === to || from < 0 || from >= cards.length || to < 0 || to >= cards.length) return null;
  const moving = cards[from]!;
  const pinnedCount = cards.filter((c) => c.pinned).length;
  const lo = moving.pinned ? 0 : pinnedCount;
  const hi = moving.pinned ? pinnedCount - 1 : cards.length - 1;
  const target = Math.min(hi, Math.max(lo, to));
  if (target === from) return null;
  const next = cards.slice();
  next.splice(from, 1);
  next.splice(target, 0, moving);
  return next;
}

// The card order sent with "remember_grid_state": the grid's ids in their new
// order, at most 500, never a duplicate or an empty id.
export function orderIds(cards: { id: string }[]): string[] {
  const seen = new Set<string>();
  const ids: string[] = [];
  for (const c of cards) {
    if (!c.id || seen.has(c.id)) continue;
    seen.add(c.id);
    ids.push(c.id);
    if (ids.length === 500) break;
  }
  return ids;
}

// Keyboard movement through a grid of `columns` columns.
export function step(index: number, key: string, count: number, columns: number): number {
  if (count === 0) return -1;
  const cols = Math.max(1, columns);
  let next = index;
  switch (key) {
    case 'ArrowRight': next = index + 1; break;
    case 'ArrowLeft': next = index - 1; break;
    case 'ArrowDown': next = index + cols; break;
    case 'ArrowUp': next = index - cols; break;
    case 'Home': next = 0; break;
    case 'End': next = count - 1; break;
    default: return index;
  }
  return Math.min(count - 1, Math.max(0, next));
}
