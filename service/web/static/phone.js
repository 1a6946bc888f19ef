// Japanese telephone numbers in their usual grouping, and the words for a caller text that
// stands for the reason there is no number (the service's own, from /words.js).
import { REASONS } from './words.js';

// Prefixes whose grouping is not the general 0AB-CDE-FGHJ, first match wins.
const GROUPS = [
  [/^(0120|0800)(\d{3})(\d{3,4})$/, 3],   // free dial: 0120-123-456, 0800-123-4567
  [/^(0570)(\d{3})(\d{3})$/, 3],          // navi dial: 0570-123-456
  [/^(0[5789]0)(\d{4})(\d{4})$/, 3],      // mobiles and IP phones: 090-1234-5678, 050-1234-5678
  [/^(0[36])(\d{4})(\d{4})$/, 3],         // Tokyo, Osaka: 03-1234-5678, 06-1234-5678
  [/^(0\d{2})(\d{3})(\d{4})$/, 3],        // other areas, 10 digits: 045-555-6666
  [/^(0\d{2})(\d{4})(\d{4})$/, 3],        // 11 digits otherwise
];

export function formatNumber(text) {
  if (typeof text !== 'string' || !/^\d+$/.test(text)) return text;
  for (const [pattern] of GROUPS) {
    const match = pattern.exec(text);
    if (match) return match.slice(1).join('-');
  }
  return text;
}

// The service words a reason as part of a sentence ("withheld"); shown alone it starts with a
// capital, as the page's other labels do.
const capitalised = (text) => text.charAt(0).toUpperCase() + text.slice(1);

// What to show for a call's number: the grouped number, or the reason in words.
export function callerText(call, lang) {
  const reason = REASONS[call.number];
  if (reason) return capitalised(reason[lang] || reason.en);
  if (call.reason) return call.reason;
  return formatNumber(call.number);
}
