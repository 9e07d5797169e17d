// Note bodies as the editor handles them: the first line is the title, the
// rest is the body the user edits. Text put into markup is escaped the way the
// native side does it.

export function escapeHtml(text: string): string {
  return text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

const TITLE_DIV = /^\s*<div>(.*?)<\/div>/is;

export interface SplitBody {
  title: string;
  rest: string;
}

// A body made by the system starts with "<div>title</div>"; a file of the
// folder store starts with the title as a plain line.
export function splitTitle(body: string): SplitBody {
  const m = TITLE_DIV.exec(body);
  if (m) return { title: m[1] ?? '', rest: body.slice(m[0].length) };
  const nl = body.indexOf('\n');
  const first = nl < 0 ? body : body.slice(0, nl);
  if (!first.trimStart().startsWith('<')) return { title: first, rest: nl < 0 ? '' : body.slice(nl + 1) };
  return { title: '', rest: body };
}

// Plain lines (a Markdown file written elsewhere) become one division each, so
// the editor keeps the line breaks.
export function linesToDivs(rest: string): string {
  if (rest === '') return '';
  if (/<(div|p|br|ul|ol|li|img|hr)\b/i.test(rest)) return rest.replace(/^\n+/, '');
  return rest
    .replace(/\r\n?/g, '\n')
    .replace(/\n$/, '')
    .split('\n')
    .map((line) => (line === '' ? '<div><br></div>' : `<div>${escapeHtml(line)}</div>`))
    .join('');
}

export function joinBody(name: string, rest: string): string {
  return `<div>${escapeHtml(name)}</div>${rest}`;
}

// A separator line is stored as a line holding only U+2E3B; few fonts draw
// that character, so the editor shows it as a rule. A rule is saved as <hr>,
// which the stores and previews read as a separator too.
const SEPARATOR_LINE = /<(div|p)\b[^>]*>\s*(?:<span\b[^>]*>\s*)?(?:\u2E3B|&#x0*2e3b;?|&#0*11835;?)(?:\s*<\/span>)?\s*<\/\1>/gi;

export function separatorsToRules(html: string): string {
  return html.replace(SEPARATOR_LINE, '<hr>');
}

// Local media and thumbnail URLs are app://local/…; a page served from
// somewhere else (a test harness) reaches the same resources relative to
// itself. Saved markup always carries the app:// form.
const APP_PREFIX = 'app://local/';

export function toDisplayUrls(html: string, protocol: string): string {
  if (protocol === 'app:') return html;
  return html.replace(/(src|data-full-src)=(["'])app:\/\/local\//gi, '$1=$2/');
}

export function toStoredUrls(html: string, protocol: string): string {
  if (protocol === 'app:') return html;
  return html.replace(/(src|data-full-src)=(["'])\/(__media|__thumb)\//gi, `$1=$2${APP_PREFIX}$3/`);
}

export function displayUrl(url: string, protocol: string): string {
  if (protocol === 'app:' || !url.startsWith(APP_PREFIX)) return url;
  return '/' + url.slice(APP_PREFIX.length);
}

// Preview text lines are joined by U+2028.
export function previewLines(preview: string): string[] {
  return preview.split('\u2028').filter((l) => l.trim() !== '');
}

// A user-supplied note name for a new note: trimmed, never empty.
export function newNoteName(text: string, existing: Iterable<string>): string {
  const base = text.trim() || 'Untitled note';
  const taken = new Set(existing);
  if (!taken.has(base)) return base;
  for (let n = 2; ; n++) {
    const candidate = `${base} ${n}`;
    if (!taken.has(candidate)) return candidate;
  }
}
