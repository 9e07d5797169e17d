// Page-wide state shared by the screens, and the commands that change it.
import { bridge, BridgeError, messageOf } from './bridge';
import { gridChoice, type GridChoice } from './grid';
import { userText } from './sentinels';
import type { Milestone, Note, SettingsView } from './types';

export type View = 'grid' | 'editor' | 'settings' | 'insights' | 'notices' | 'hidden' | 'account';

export interface Toast {
  id: number;
  title: string;
  text: string;
  kind: 'info' | 'error' | 'milestone';
}

let toastSeq = 0;

class AppState {
  view = $state<View>('grid');
  notes = $state<Note[]>([]);
  loaded = $state(false);
  loadError = $state('');
  settings = $state<SettingsView | null>(null);
  openId = $state<string | null>(null);
  query = $state('');
  results = $state<Note[] | null>(null);
  deep = $state(false);
  toasts = $state<Toast[]>([]);
  onboarding = $state<{ step: string; detail: unknown } | null>(null);
  permission = $state<string | null>(null);
  gridLimit = $state(6);
  // The one AI run the native side allows at a time: the note it works on.
  aiRun = $state<{ id: string; title: string } | null>(null);
  // Bumped when a run wrote into a note, so an open editor reads it again.
  aiWrote = $state(0);

  get choice(): GridChoice {
    return this.settings ? gridChoice(this.settings) : { explicit: false, count: 6 };
  }

  noteById(id: string): Note | undefined {
    return this.notes.find((n) => n.id === id) ?? this.results?.find((n) => n.id === id);
  }

  async loadSettings(): Promise<void> {
    try {
      this.settings = await bridge.invoke<SettingsView>('get_settings');
    } catch (e) {
      this.fail('Settings', e);
    }
  }

  async loadNotes(limit = this.gridLimit): Promise<void> {
    this.gridLimit = limit;
    try {
      const notes = await bridge.invoke<Note[] | null>('list_notes', { limit });
      if (!this.loaded) performance.mark('corvane:notes-answered');
      this.notes = notes ?? [];
      this.loadError = '';
    } catch (e) {
      this.loadError = userText(messageOf(e));
    } finally {
      this.loaded = true;
    }
  }

  toast(title: string, text: string, kind: Toast['kind'] = 'info', ms = 5000): void {
    const id = ++toastSeq;
    this.toasts = [...this.toasts, { id, title, text, kind }];
    if (this.toasts.length === 1) void bridge.invoke('notif_hold', { active: true }).catch(() => {});
    setTimeout(() => this.dismissToast(id), ms);
  }

  dismissToast(id: number): void {
    const before = this.toasts.length;
    this.toasts = this.toasts.filter((t) => t.id !== id);
    if (before > 0 && this.toasts.length === 0) void bridge.invoke('notif_hold', { active: false }).catch(() => {});
  }

  fail(what: string, e: unknown): void {
    const text = userText(e instanceof BridgeError ? e.message : messageOf(e));
    this.toast(what, text, 'error', 7000);
  }

  milestone(m: Milestone): void {
    this.toast(m.pillar, m.message, 'milestone', 6000);
    void bridge
      .invoke('log_notification', { text: `${m.pillar} — ${m.message}`, kind: 'milestone' })
      .catch(() => {});
  }

  // The run blocks its command until the tool has ended; the note receives
  // the outcome natively and the notification log keeps the message.
  async runAI(id: string, title: string): Promise<void> {
    if (this.aiRun) return;
    this.aiRun = { id, title };
    try {
      const answer = await bridge.invoke<string | null>('run_ai', { title, id });
      this.toast(`AI run — ${title}`, typeof answer === 'string' && answer ? answer : 'Done.');
    } catch (e) {
      this.fail(`AI run — ${title}`, e);
    } finally {
      this.aiRun = null;
      this.aiWrote++;
      await this.loadNotes();
    }
  }

  async cancelAI(): Promise<void> {
    try {
      await bridge.invoke('cancel_ai');
    } catch (e) {
      this.fail('AI run', e);
    }
  }

  open(id: string): void {
    this.openId = id;
    this.view = 'editor';
  }

  show(view: View): void {
    if (this.view === 'settings' && view !== 'settings') void bridge.invoke('settings_window', { active: false }).catch(() => {});
    if (view === 'settings' && this.view !== 'settings') void bridge.invoke('settings_window', { active: true }).catch(() => {});
    this.view = view;
  }
}

export const app = new AppState();
