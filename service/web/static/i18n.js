// Japanese and English. The language comes from the browser unless chosen on the page.
import { CAUSES } from './words.js';

const TEXT = {
  ja: {
    title: '着信表示', login: 'ログイン', password: 'パスワード', loginButton: 'ログイン',
    loginFailed: 'パスワードが違います', loginLimited: 'ログインの失敗が続いたため、しばらく待ってください',
    noPassword: 'このページはパスワードなしで使えます（ループバックのみ）',
    live: '着信', log: '着信履歴', phonebook: '電話帳', lines: '回線', logout: 'ログアウト',
    waiting: '着信を待っています', recent: '最近の着信', notify: '通知を許可',
    search: '番号または名前', from: '開始日', to: '終了日', find: '検索', newer: '← 新しい', older: '古い →',
    total: '件', time: '日時', number: '番号', name: '名前', line: '回線', heard: '受信',
    live_: 'ライブ', imported: '履歴から', addName: '名前を登録', save: '保存', cancel: '取消',
    dial: '発信', edit: '編集', remove: '削除', prefix: '前方一致', add: '追加',
    exportUtf8: 'CSV (UTF-8)', exportCp932: 'CSV (Shift_JIS)', importCsv: 'CSV 取込', encoding: '文字コード',
    auto: '自動', kind: '機種', port: 'ポート', state: '状態', readHistory: '履歴を今すぐ読む',
    up: '接続中', down: '切断', reopening: '再接続中', telPort: '電話ポート',
    dialing: '発信中', dialEnded: '発信しました', dialFailed: '発信できませんでした',
    reading: '履歴を読んでいます', readDone: '履歴を読みました', added: '件追加',
    stored: '件登録', problems: '件の問題', noDialLine: '発信できる回線がありません',
    viewOnly: '表示専用', confirmRemove: '削除しますか？', language: 'English',
    note: 'メモ', count: '回数', wall: '壁掛け表示', wallExit: '壁掛け表示を終わる',
    chimeOn: '着信音: オン', chimeOff: '着信音: オフ',
    chimeNote: 'ブラウザーは操作の前に音を鳴らしません。着信音を鳴らすには、このページを一度クリックしてください。',
  },
  en: {
    title: 'Caller ID', login: 'Log in', password: 'Password', loginButton: 'Log in',
    loginFailed: 'The password is wrong', loginLimited: 'Too many failed logins: wait a little',
    noPassword: 'This page needs no password (loopback only)',
    live: 'Calls', log: 'Call log', phonebook: 'Phonebook', lines: 'Lines', logout: 'Log out',
    waiting: 'Waiting for a call', recent: 'Recent calls', notify: 'Allow notifications',
    search: 'Number or name', from: 'From', to: 'To', find: 'Search', newer: '← Newer', older: 'Older →',
    total: 'calls', time: 'Time', number: 'Number', name: 'Name', line: 'Line', heard: 'Heard',
    live_: 'live', imported: 'from history', addName: 'Add name', save: 'Save', cancel: 'Cancel',
    dial: 'Dial', edit: 'Edit', remove: 'Remove', prefix: 'Prefix', add: 'Add',
    exportUtf8: 'CSV (UTF-8)', exportCp932: 'CSV (Shift_JIS)', importCsv: 'Import CSV', encoding: 'Encoding',
    auto: 'Detect', kind: 'Kind', port: 'Port', state: 'State', readHistory: 'Read history now',
    up: 'up', down: 'down', reopening: 'reopening', telPort: 'Telephone port',
    dialing: 'Dialling', dialEnded: 'Dial placed', dialFailed: 'Dial failed',
    reading: 'Reading the history', readDone: 'History read', added: 'added',
    stored: 'stored', problems: 'problems', noDialLine: 'No line can dial',
    viewOnly: 'View only', confirmRemove: 'Remove this entry?', language: '日本語',
    note: 'Note', count: 'Calls', wall: 'Wall screen', wallExit: 'Leave the wall screen',
    chimeOn: 'Chime: on', chimeOff: 'Chime: off',
    chimeNote: 'Browsers play no sound before you use the page: click anywhere on it once to hear the chime.',
  },
};

// Why a line is down, in the service's words: t('cause:device-missing').
for (const [key, words] of Object.entries(CAUSES)) {
  for (const language of Object.keys(TEXT)) TEXT[language][`cause:${key}`] = words[language];
}

export let lang = localStorage.getItem('kalvix3d-lang') ||
  ((navigator.languages || [navigator.language]).some((l) => l && l.startsWith('ja')) ? 'ja' : 'en');

export function t(key) { return TEXT[lang][key] ?? key; }

// Fills every element marked data-i18n (text) or data-i18n-placeholder.
export function translate(root = document) {
  document.documentElement.lang = lang;
  for (const el of root.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of root.querySelectorAll('[data-i18n-placeholder]')) el.placeholder = t(el.dataset.i18nPlaceholder);
}

export function switchLanguage() {
  lang = lang === 'ja' ? 'en' : 'ja';
  localStorage.setItem('kalvix3d-lang', lang);
  translate();
}
