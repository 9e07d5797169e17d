// Small text helpers for what the cards and insights show.

// A note's age is minus the local wall-clock seconds of its last change
// (smaller is more recent), so the seconds since then are now + age.
export function localNowSeconds(now: Date): number {
  return Math.floor(now.getTime() / 1000) - now.getTimezoneOffset() * 60;
}

// Notes from some sources come without an age, or with one that is not a
// number or lies ahead of the clock; those cards show no age rather than
// "just now" or a date in 1970.
export function ageLabel(age: unknown, now: Date): string {
  if (typeof age !== 'number' || !Number.isFinite(age) || age >= 0) return '';
  const ago = localNowSeconds(now) + age;
  if (ago < -120) return '';
  if (ago < 45) return 'just now';
  if (ago < 3600) return `${Math.max(1, Math.round(ago / 60))} min ago`;
  if (ago < 86400) return `${Math.round(ago / 3600)} h ago`;
  if (ago < 86400 * 7) {
    const days = Math.round(ago / 86400);
    return days === 1 ? 'yesterday' : `${days} days ago`;
  }
  const changed = new Date((-age + now.getTimezoneOffset() * 60) * 1000);
  const sameYear = changed.getFullYear() === now.getFullYear();
  return changed.toLocaleDateString(undefined, sameYear ? { month: 'short', day: 'numeric' } : { year: 'numeric', month: 'short', day: 'numeric' });
}

export function compactNumber(n: number): string {
  if (!Number.isFinite(n)) return '0';
  if (Math.abs(n) < 10000) return n.toLocaleString('en-US');
  if (Math.abs(n) < 1_000_000) return `${(n / 1000).toFixed(n < 100000 ? 1 : 0).replace(/\.0$/, '')}k`;
  return `${(n / 1_000_000).toFixed(1).replace(/\.0$/, '')}M`;
}

export function duration(seconds: number): string {
  const s = Math.max(0, Math.floor(seconds));
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  if (h > 0) return m > 0 ? `${h} h ${m} min` : `${h} h`;
  return `${m} min`;
}
