// The 90-day activity chart: one bar per day, drawn by the page as SVG.
import type { Counter, InsightsDay } from './types';

export const CHART_DAYS = 90;

export interface Bar {
  date: string;
  value: number;
  x: number;
  y: number;
  width: number;
  height: number;
}

export interface Chart {
  bars: Bar[];
  max: number;
  total: number;
}

function dayKey(d: Date): string {
  const y = d.getFullYear();
  const m = String(d.getMonth() + 1).padStart(2, '0');
  const day = String(d.getDate()).padStart(2, '0');
  return `${y}-${m}-${day}`;
}

// The 90 local day keys ending today, oldest first.
export function lastDays(today: Date, n = CHART_DAYS): string[] {
  const keys: string[] = [];
  for (let a = n - 1; a >= 0; a--) {
    const d = new Date(today.getFullYear(), today.getMonth(), today.getDate() - a);
    keys.push(dayKey(d));
  }
  return keys;
}

// Days without a record count 0; days outside the window are ignored. Bars
// fill `width`×`height`; a non-zero day is at least 2 units tall so it shows.
export function buildChart(days: InsightsDay[], metric: Counter, today: Date, width: number, height: number): Chart {
  const byDate = new Map<string, number>();
  for (const d of days) {
    const v = Number(d[metric]);
    if (Number.isFinite(v) && v > 0) byDate.set(d.date, v);
  }
  const keys = lastDays(today);
  const values = keys.map((k) => byDate.get(k) ?? 0);
  const max = values.reduce((a, b) => Math.max(a, b), 0);
  const slot = width / keys.length;
  const barWidth = Math.max(1, slot * 0.72);
  const bars = keys.map((date, i) => {
    const value = values[i] ?? 0;
    const h = max > 0 && value > 0 ? Math.max(2, (value / max) * height) : 0;
    return { date, value, x: i * slot + (slot - barWidth) / 2, y: height - h, width: barWidth, height: h };
  });
  return { bars, max, total: values.reduce((a, b) => a + b, 0) };
}
