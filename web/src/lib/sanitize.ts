// Markup from a note file, a paste or the native side is put into the page
// only after this pass: no scripts, no event handlers, no frames, links only
// to web addresses and images only from the page's own resources or data.
// Parsing happens in an inert <template>, so nothing loads or runs meanwhile.

const DROP_WITH_CONTENT = new Set(['SCRIPT', 'STYLE', 'IFRAME', 'OBJECT', 'EMBED', 'NOSCRIPT', 'TEMPLATE', 'SVG', 'MATH', 'LINK', 'META', 'BASE', 'FORM', 'TITLE', 'HEAD']);
const KEEP = new Set(['DIV', 'P', 'SPAN', 'B', 'STRONG', 'I', 'EM', 'U', 'S', 'STRIKE', 'BR', 'HR', 'IMG', 'UL', 'OL', 'LI', 'A', 'H1', 'H2', 'H3', 'H4', 'BLOCKQUOTE', 'PRE', 'CODE', 'FONT', 'TABLE', 'TBODY', 'THEAD', 'TR', 'TD', 'TH', 'SUB', 'SUP']);
const ATTRS = new Set(['style', 'href', 'src', 'data-full-src', 'width', 'height', 'class', 'color', 'data-done', 'colspan', 'rowspan', 'alt']);

function safeUrl(name: string, value: string): boolean {
  const v = value.trim().toLowerCase();
  if (name === 'href') return v.startsWith('http://') || v.startsWith('https://');
  if (v.startsWith('data:image/')) return !v.startsWith('data:image/svg');
  return v.startsWith('app://local/') || v.startsWith('/__media/') || v.startsWith('/__thumb/');
}

function clean(node: Node): void {
  for (const child of Array.from(node.childNodes)) {
    if (child.nodeType === Node.COMMENT_NODE) {
      child.remove();
      continue;
    }
    if (child.nodeType !== Node.ELEMENT_NODE) continue;
    const el = child as Element;
    const tag = el.tagName.toUpperCase();
    if (DROP_WITH_CONTENT.has(tag)) {
      el.remove();
      continue;
    }
    if (!KEEP.has(tag)) {
      clean(el);
      el.replaceWith(...Array.from(el.childNodes));
      continue;
    }
    for (const attr of Array.from(el.attributes)) {
      const name = attr.name.toLowerCase();
      const keep =
        ATTRS.has(name) &&
        (name !== 'href' && name !== 'src' && name !== 'data-full-src' ? true : safeUrl(name, attr.value)) &&
        !(name === 'style' && /url\s*\(|expression\s*\(/i.test(attr.value));
      if (!keep) el.removeAttribute(attr.name);
    }
    if (tag === 'IMG' && !el.hasAttribute('src')) {
      el.remove();
      continue;
    }
    clean(el);
  }
}

export function sanitizeHtml(html: string): string {
  const t = document.createElement('template');
  t.innerHTML = html;
  clean(t.content);
  const div = document.createElement('div');
  div.appendChild(t.content);
  return div.innerHTML;
}
