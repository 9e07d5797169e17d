// The page's only channel to the native side: the bootstrap script's
// window.__TAURI__ (invoke for commands, listen for events). Failures arrive as
// plain message texts; they are turned into BridgeError so callers can show
// the text as it stands and recognise the store's sentinel tokens.

export interface TauriShim {
  core: { invoke(cmd: string, args?: Record<string, unknown>): Promise<unknown> };
  event: { listen(name: string, cb: (event: { payload: unknown }) => void): Promise<() => void> };
}

export class BridgeError extends Error {
  readonly cmd: string;
  constructor(cmd: string, message: string) {
    super(message);
    this.name = 'BridgeError';
    this.cmd = cmd;
  }
}

export const NO_BRIDGE = 'The native side is not connected.';

export function messageOf(reason: unknown): string {
  if (typeof reason === 'string') return reason;
  if (reason instanceof Error) return reason.message;
  if (reason === undefined || reason === null) return 'unknown failure';
  try {
    return JSON.stringify(reason);
  } catch {
    return String(reason);
  }
}

export interface Bridge {
  invoke<T = unknown>(cmd: string, args?: Record<string, unknown>): Promise<T>;
  listen<T = unknown>(name: string, cb: (payload: T) => void): () => void;
}

// `shim` is looked up on every call: the bootstrap script may define it after
// this module was evaluated (it never does in the shell, but harnesses may).
export function createBridge(shim: () => TauriShim | undefined): Bridge {
  return {
    async invoke<T>(cmd: string, args?: Record<string, unknown>): Promise<T> {
      const tauri = shim();
      if (!tauri) throw new BridgeError(cmd, NO_BRIDGE);
      try {
        return (await tauri.core.invoke(cmd, args ?? {})) as T;
      } catch (reason) {
        throw new BridgeError(cmd, messageOf(reason));
      }
    },
    listen<T>(name: string, cb: (payload: T) => void): () => void {
      const tauri = shim();
      if (!tauri) return () => {};
      let unlisten: (() => void) | null = null;
      let cancelled = false;
      const handler = (event: { payload: unknown }) => {
        if (!cancelled) cb(event.payload as T);
      };
      void tauri.event.listen(name, handler).then((fn) => {
        if (cancelled) fn();
        else unlisten = fn;
      });
      return () => {
        cancelled = true;
        unlisten?.();
      };
    },
  };
}

declare global {
  interface Window {
    __TAURI__?: TauriShim;
  }
}

export const bridge: Bridge = createBridge(() => (typeof window === 'undefined' ? undefined : window.__TAURI__));
