import { describe, expect, it } from 'vitest';
import { acceleratorParts, displayAccelerator, displayButton, isNoButton } from '../src/lib/accelerator';
import { tourNext, type TourPhase } from '../src/lib/tour';

describe('shortcut display', () => {
  it.each([
    ['Option+A', 'Alt+A'],
    ['a+Option', 'Alt+A'],
    ['Cmd+Ctrl+Option+Shift+K', 'Ctrl+Alt+Shift+Super+K'],
    ['Super+Meta+Command+F12', 'Super+F12'],
    ['Option++X', 'Alt+X'],
    ['Control+Alt+Space', 'Ctrl+Alt+Space'],
    ['Shift+Opt+/', 'Alt+Shift+/'],
    // Case matters for modifier names, as in the native parser: "option" is a key.
    ['option+A', 'A'],
  ])('%s is shown as %s', (stored, shown) => expect(displayAccelerator(stored)).toBe(shown));

  it.each(['', '+', '++', 'Option', 'Cmd+Shift'])('%j has no key and is shown as stored', (text) => {
    expect(acceleratorParts(text)).toBeNull();
    expect(displayAccelerator(text)).toBe(text);
  });

  it.each([
    ['button3', 'Mouse button 8'],
    ['button4', 'Mouse button 9'],
    ['button12', 'Mouse button 17'],
    ['hid:9:5', 'Device button 5 (page 9)'],
    ['—', 'None'],
    ['none', 'None'],
    ['', 'None'],
    // Nothing the page cannot name is dressed up: shown as stored.
    ['button1', 'button1'],
    ['button-3', 'button-3'],
    ['button99999999999999999999', 'button99999999999999999999'],
    ['hid::9:5', 'hid::9:5'],
  ])('button id %j is shown as %j', (id, shown) => expect(displayButton(id)).toBe(shown));

  it('knows the texts that mean no button', () => {
    expect(['—', 'none', ''].every(isNoButton)).toBe(true);
    expect(isNoButton('button3')).toBe(false);
  });
});

describe('tutorial steps', () => {
  const run = (events: string[]): TourPhase => events.reduce<TourPhase>((p, e) => tourNext(p, e), 'off');

  it('goes tray, clip, done only in that order', () => {
    expect(run(['onboard:start'])).toBe('tray');
    expect(run(['onboard:start', 'onboard:tray'])).toBe('clip');
    expect(run(['onboard:start', 'onboard:tray', 'onboard:clip'])).toBe('done');
  });

  it('ignores events of other steps and events before the start', () => {
    expect(run(['onboard:tray', 'onboard:clip'])).toBe('off');
    expect(run(['onboard:start', 'onboard:clip'])).toBe('tray');
    expect(run(['onboard:start', 'onboard:tray', 'onboard:tray', 'onboard:permissions'])).toBe('clip');
    expect(run(['onboard:start', 'onboard:tray', 'onboard:start'])).toBe('clip');
  });

  it('a first run offers it, and the offer is only taken from the start', () => {
    expect(run(['onboard:offer'])).toBe('offer');
    expect(run(['onboard:offer', 'onboard:tray'])).toBe('offer');
    expect(run(['onboard:offer', 'onboard:start'])).toBe('tray');
    expect(run(['onboard:start', 'onboard:offer'])).toBe('tray');
  });

  it('can be run again once done', () => {
    expect(run(['onboard:start', 'onboard:tray', 'onboard:clip', 'onboard:start'])).toBe('tray');
  });
});
