// The first-run tutorial: open the tray with a tap of Alt, then clip once.
// The page starts it; the native side reports each done step as an event.

// "offer" asks a first-time user whether to take it; until it is taken or
// skipped the input hook is not started at launch.
export type TourPhase = 'off' | 'offer' | 'tray' | 'clip' | 'done';

// Only the event of the current step moves the tour on; a late or repeated
// event from an earlier step changes nothing.
export function tourNext(phase: TourPhase, event: string): TourPhase {
  if (event === 'onboard:offer') return phase === 'off' ? 'offer' : phase;
  if (event === 'onboard:start') return phase === 'off' || phase === 'offer' || phase === 'done' ? 'tray' : phase;
  if (event === 'onboard:tray' && phase === 'tray') return 'clip';
  if (event === 'onboard:clip' && phase === 'clip') return 'done';
  return phase;
}

// The native step name each phase arms ("set_onboarding_step").
export const NATIVE_STEP: Partial<Record<TourPhase, string>> = { tray: 'tray', clip: 'clip' };
