// How the page speaks of a caller: the number as the service's numbering plan groups it, the
// reason in the service's words where a letter stands for the number, the kind and area of the
// number, and the caller's history ("3回目 · 前回 12/08 10:15").
import { REASONS, KINDS } from './words.js';

// The service words a reason as part of a sentence ("withheld"); shown alone it starts with a
// capital, as the page's other labels do.
const capitalised = (text) => text.charAt(0).toUpperCase() + text.slice(1);

// What to show for a call's number: the grouped number, or the reason in words.
export function callerText(call, lang) {
  const reason = REASONS[call.number];
  if (reason) return capitalised(reason[lang] || reason.en);
  if (call.reason) return call.reason;
  return call.formatted || call.number;
}

// Where the call comes from: the area of a fixed line, else the kind of number ("携帯電話").
export function whereText(call, lang) {
  if (call.area) return call.area;
  const kind = KINDS[call.type];
  return kind && call.type !== 'unknown' ? kind[lang] || kind.en : '';
}

const pad = (n) => String(n).padStart(2, '0');
const shortTime = (iso) => {
  const when = new Date(iso);
  return `${pad(when.getMonth() + 1)}/${pad(when.getDate())} ${pad(when.getHours())}:${pad(when.getMinutes())}`;
};
const ordinals = new Intl.PluralRules('en-GB', { type: 'ordinal' });
const suffix = { one: 'st', two: 'nd', few: 'rd', other: 'th' };

// The how-manieth call from the number: "3回目", "3rd"; "" for a call without a number.
export function countText(call, lang) {
  if (!call.nth) return '';
  return lang === 'ja' ? `${call.nth}回目` : `${call.nth}${suffix[ordinals.select(call.nth)]}`;
}

// The card's line on the caller's history: "3回目 · 前回 12/08 10:15", "初めての着信".
export function historyText(call, lang) {
  if (!call.nth) return '';
  if (call.nth === 1) return lang === 'ja' ? '初めての着信' : 'First call';
  const count = lang === 'ja' ? countText(call, lang) : `${countText(call, lang)} call`;
  if (!call.previous) return count;
  return `${count} · ${lang === 'ja' ? '前回' : 'last'} ${shortTime(call.previous)}`;
}
