import { t, translate, switchLanguage } from './i18n.js';

async function login(body) {
  const response = await fetch('/api/login', {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  });
  if (response.ok) {
    location.replace(`/${location.hash}`); // a wall screen keeps its #display=TOKEN for next time
    return;
  }
  document.getElementById('login-error').textContent =
    response.status === 429 ? t('loginLimited') : t('loginFailed');
}

translate();
document.getElementById('lang').addEventListener('click', switchLanguage);
document.getElementById('login-form').addEventListener('submit', (event) => {
  event.preventDefault();
  login({ password: document.getElementById('password').value });
});

// A wall screen opens /#display=TOKEN (the fragment never reaches a server log); the page at /
// sends it here when it has no session.
const display = new URLSearchParams(location.hash.slice(1)).get('display');
if (display) {
  login({ displayToken: display });
} else {
  fetch('/api/session').then(async (response) => {
    if (response.ok) return location.replace('/');
    const info = await response.json().catch(() => ({}));
    if (info.passwordRequired === false) document.getElementById('login-note').textContent = t('noPassword');
  });
}
