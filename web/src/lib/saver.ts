// Debounced saving of one open note. Each edit restarts a short pause; the
// editor's text is read only when a save starts (serialising a large note on
// every key would cost more than the key itself). One save is in flight at a
// time and the newest text always follows. A failed save keeps the edit and
// says why: refusals the user must decide on wait for retry(); a transient
// failure is retried on its own a few times with growing pauses.
import { messageOf } from './bridge';
import { classifyFailure, isTransient, type SaveFailure } from './sentinels';

export type SaveStatus = 'saved' | 'pending' | 'saving' | 'error';

export interface SaveState {
  status: SaveStatus;
  failure: SaveFailure | null;
  // A forced save was approved for this note: later saves back up attachments too.
  forced: boolean;
}

export interface Timers {
  set(fn: () => void, ms: number): unknown;
  clear(handle: unknown): void;
}

export const realTimers: Timers = {
  set: (fn, ms) => setTimeout(fn, ms),
  clear: (handle) => clearTimeout(handle as ReturnType<typeof setTimeout>),
};

export interface SaverOptions {
  read(): string;
  save(html: string, force: boolean): Promise<unknown>;
  onState(state: SaveState): void;
  delayMs?: number;
  retryDelaysMs?: number[];
  timers?: Timers;
}

export class NoteSaver {
  private readonly read: () => string;
  private readonly save: (html: string, force: boolean) => Promise<unknown>;
  private readonly onState: (state: SaveState) => void;
  private readonly delayMs: number;
  private readonly retryDelaysMs: number[];
  private readonly timers: Timers;
  private savedText: string | null = null;
  private dirty = false;
  private timer: unknown = null;
  private inFlight: Promise<void> | null = null;
  private transientTries = 0;
  private state: SaveState = { status: 'saved', failure: null, forced: false };
  private closed = false;

  constructor(o: SaverOptions) {
    this.read = o.read;
    this.save = o.save;
    this.onState = o.onState;
    this.delayMs = o.delayMs ?? 600;
    this.retryDelaysMs = o.retryDelaysMs ?? [1000, 3000, 8000];
    this.timers = o.timers ?? realTimers;
  }

  get current(): SaveState {
    return this.state;
  }

  // The text as loaded: an edit that comes back to it needs no save.
  baseline(html: string): void {
    this.savedText = html;
    this.dirty = false;
  }

  // Something changed in the editor.
  edit(): void {
    if (this.closed) return;
    this.dirty = true;
    // A refusal that waits for the user stays on screen: typing on does not
    // send the same refused save again and again.
    if (this.waitingForUser()) return;
    this.set({ status: 'pending', failure: null });
    this.schedule(this.delayMs);
  }

  // Save now (closing the editor). Resolves once the newest text is stored
  // or has failed.
  async flush(): Promise<void> {
    this.cancelTimer();
    while (this.inFlight) await this.inFlight;
    if (this.dirty && !this.waitingForUser()) await this.run();
  }

  // The user's answer to a refusal: try again, with `force` when they agreed
  // that attachments are backed up first.
  retry(force = false): Promise<void> {
    if (force) this.state = { ...this.state, forced: true };
    this.transientTries = 0;
    this.dirty = true;
    this.cancelTimer();
    this.set({ status: 'pending', failure: null });
    return this.run();
  }

  // The user chose to drop the unsaved edit.
  discard(): void {
    this.cancelTimer();
    this.dirty = false;
    this.set({ status: 'saved', failure: null });
  }

  close(): void {
    this.closed = true;
    this.cancelTimer();
  }

  hasUnsaved(): boolean {
    return this.dirty;
  }

  private waitingForUser(): boolean {
    return this.state.status === 'error' && this.state.failure !== null && !isTransient(this.state.failure);
  }

  private schedule(ms: number): void {
    this.cancelTimer();
    this.timer = this.timers.set(() => {
      this.timer = null;
      void this.run();
    }, ms);
  }

  private cancelTimer(): void {
    if (this.timer !== null) this.timers.clear(this.timer);
    this.timer = null;
  }

  private async run(): Promise<void> {
    // The running save is followed by one with the newest text (the edit
    // that arrived meanwhile scheduled it, or this call does after waiting).
    while (this.inFlight) await this.inFlight;
    if (!this.dirty) return;
    const html = this.read();
    this.dirty = false;
    if (html === this.savedText) {
      this.set({ status: 'saved', failure: null });
      return;
    }
    this.set({ status: 'saving', failure: null });
    const attempt = (async () => {
      try {
        await this.save(html, this.state.forced);
        this.savedText = html;
        this.transientTries = 0;
        this.set({ status: this.dirty ? 'pending' : 'saved', failure: null });
      } catch (reason) {
        this.dirty = true;
        const failure = classifyFailure(messageOf(reason));
        this.set({ status: 'error', failure });
        if (isTransient(failure) && !this.closed) {
          const pause = this.retryDelaysMs[this.transientTries];
          this.transientTries++;
          if (pause !== undefined) this.schedule(pause);
        }
      }
    })();
    this.inFlight = attempt;
    await attempt;
    this.inFlight = null;
  }

  private set(patch: Partial<SaveState>): void {
    this.state = { ...this.state, ...patch };
    this.onState(this.state);
  }
}
