// Shapes of the native side's answers, as the commands produce them.

export interface Note {
  id: string;
  name: string;
  preview: string;
  pinned: boolean;
  // Absent for notes whose source has no change time.
  age?: number;
  images: string[];
  previewHTML: string;
  bodyHydrated: boolean;
  nativeAttachmentsHydrated: boolean;
}

export interface SettingsView {
  models: Record<string, string>;
  projects: Record<string, string>;
  noteNames: string[];
  tutorialSeen: boolean;
  gridCount: number;
  gridCountExplicit: boolean;
  gridAutoCount: number;
  aiProvider: string;
  aiExecutablePath?: string;
  aiProviderAvailable: boolean;
  noteSource: string;
  showTips: boolean;
  launchAtLogin: boolean;
  hiddenCount: number;
  termsAccepted: boolean;
  aiAvailable: boolean;
  backupExportsToMediaStore: boolean;
  betaTelemetry: boolean;
}

export const COUNTERS = [
  'thoughts',
  'words',
  'clips',
  'followups',
  'documents',
  'builds',
  'summons',
  'focusSessions',
] as const;
export type Counter = (typeof COUNTERS)[number];

export type Totals = Record<Counter, number> & { activeDays: number; timeSavedSeconds: number; focusKept: number };
export type InsightsDay = Record<Counter, number> & { date: string };
export interface InsightsView {
  totals: Totals;
  days: InsightsDay[];
}

export interface Milestone {
  pillar: string;
  metric: string;
  value: number;
  threshold: number;
  message: string;
}

export interface NotificationEntry {
  id: string;
  text: string;
  kind: string;
  ts: number;
}

export interface FolderGrant {
  folderHandle: string;
  displayPath: string;
}

export interface MediaHealth {
  restored: number;
  missing: string[];
}
