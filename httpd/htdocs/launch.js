// The launch page: posts the form to the launcher and shows its answer as it arrives.
(function () {
  'use strict';
  const form = document.getElementById('launch');
  const answer = document.getElementById('answer');

  // mini_httpd 1.30 half-closes the connection of a POST to a CGI program as
  // soon as it has passed a non-empty body on, so the launcher runs but its
  // answer never reaches the browser. The form has no field for that reason;
  // should the answer go missing all the same, the page says so.
  const lost_text = 'The web server closed the connection without the launcher\'s answer ' +
    '(mini_httpd 1.30 does so when a form sends fields to a CGI program). ' +
    'The launcher has run all the same: the graphs show whether the capture daemon writes samples.';

  // Shows the answer while it streams: a daemon that kept the launcher's
  // output open would otherwise leave the page waiting with nothing shown.
  async function post(event) {
    event.preventDefault();
    answer.dataset.state = 'sending';
    answer.textContent = '';
    let res;
    try {
      res = await fetch(form.action, {
        method: 'POST',
        headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
        body: new URLSearchParams(new FormData(form)).toString(),
        cache: 'no-store',
      });
      const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        answer.textContent += value;
      }
    } catch (err) {
      // An empty reply surfaces as a network error, like a server that is
      // down; a server that still serves the pages has dropped the answer.
      if (answer.textContent === '') {
        const up = await fetch('graphs.json', { cache: 'no-store' }).then((r) => r.ok, () => false);
        answer.dataset.state = up ? 'lost' : 'failed';
        answer.textContent = up ? lost_text : `The web server could not be reached: ${err.message || err}`;
      } else {
        answer.dataset.state = 'failed';
        answer.textContent += `\n(the answer broke off: ${err.message || err})`;
      }
      return;
    }
    answer.dataset.state = res.ok ? 'done' : 'failed';
    if (!res.ok) answer.textContent += `\n(HTTP ${res.status} ${res.statusText})`;
  }

  form.addEventListener('submit', post);
})();
