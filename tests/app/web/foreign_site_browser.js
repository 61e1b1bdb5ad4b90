// In a real browser, a page of another loopback site makes the browser send
// requests to the program (images, a no-cors fetch, a form, a frame): none
// reaches a handler, a photo or a picture, our page is not framed and the
// settings the form tried to change are as they were. Our own page's
// requests are answered as ever.
'use strict';

const { startProgram, startSite, launchBrowser, run, check, waitFor, openPage } = require('../../support/browser');

run(async (keep) => {
  const program = keep(await startProgram({ summary: '' }));
  const target = program.origin;
  const site = keep(await startSite({
    '/attack.html': `<!DOCTYPE html><html><body>
      <img src="${target}/?_object=NoSuch&via=img">
      <img src="${target}/GoogleContactphoto?id=1">
      <iframe name="sink"></iframe>
      <form id="form" method="post" target="sink" action="${target}/?_object=PrefMgr">
        <input name="_action" value="SavePreferences"><input name="filesPerPage" value="99">
        <input name="contactsPerPage" value="99"><input name="showInlineImages" value="1">
        <input name="showReceivedAttachments" value="0"><input name="showSenderEmails" value="0">
        <input name="filterAccountId" value="0"></form>
      <iframe id="framed" src="${target}/index.html"></iframe>
      <script>
        fetch('${target}/?_object=NoSuch&via=fetch', { mode: 'no-cors' })
          .then(() => { document.title = 'fetched'; }, () => { document.title = 'fetch failed'; });
        document.getElementById('form').submit();
      </script></body></html>`,
  }));
  const browser = keep(await launchBrowser());
  const page = await browser.newPage();

  const answers = [];
  page.on('response', (response) => {
    if (response.url().startsWith(target)) answers.push([response.url(), response.status()]);
  });
  await page.goto(`${site.origin}/attack.html`);
  await waitFor(async () => (await page.title()).startsWith('fetch'), 10000, 'the fetch');
  // The image, the photo, the fetch and the form: each refused, and logged
  // (records of one cause fold to one a second, so one at least).
  const refused = () => (program.log().match(/Request refused: foreign /g) || []).length;
  await waitFor(() => refused() >= 1, 10000, 'a refusal in the log');
  for (const [url, status] of answers) {
    if (!url.endsWith('/index.html')) check(status === 403, `${url} answered ${status}, not 403`);
  }
  check(answers.filter(([, status]) => status === 403).length >= 4, `403 answers: ${JSON.stringify(answers)}`);
  // The frame of our page stays empty: the browser refused to show it.
  const framed = page.frames().find((frame) => frame.name() === 'framed');
  check(framed, 'no frame for our page');
  const shown = await framed.evaluate(() => (document.body ? document.body.innerText : '')).catch(() => '');
  check(!shown.includes('Postvane is running') && framed.url().startsWith('chrome-error:'),
    `a foreign site framed our page: ${framed.url()}`);

  // Our own page reads and posts.
  const before = refused();
  await page.goto(`${target}/index.html`);
  const read = await page.evaluate(() => fetch('/?_object=NoSuch').then((r) => r.text()));
  check(read === 'Unable to locate Object Factory', `own page read: ${read}`);
  const posted = await page.evaluate(() => fetch('/?_object=NoSuch', { method: 'POST', body: 'a=1' })
    .then((r) => r.text()));
  check(posted === 'Unable to locate Object Factory', `own page post: ${posted}`);
  check(refused() === before, 'our own page was refused');
  // Our settings page shows what was there before the other site's form.
  const settings = await openPage(browser, `${target}/preferences.html`);
  const perPage = settings.getByLabel('Files per page');
  await perPage.waitFor();
  check(await perPage.inputValue() === '10', `the other site changed files per page to ${await perPage.inputValue()}`);
  settings.clean();
  console.log(`refused ${before} requests of another site; our own page was served`);
});
