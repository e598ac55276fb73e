// Drives the contact book in headless Chromium and reports what it saw as
// JSON on standard output; test_sample.py judges it.
//
//   node browser.cjs BASE_URL SCREENSHOT_DIR UPLOAD_FILE
//
// playwright-core is found through NODE_PATH.
const { chromium } = require('playwright-core');
const path = require('path');

const [base, shots, upload] = process.argv.slice(2);
const NAME = 'Zed <i>Browser</i> & "Co"';

async function rows(page) {
  return page.$$eval('table tr', trs => trs.slice(1).map(tr =>
    Array.from(tr.querySelectorAll('td')).map(td => td.innerText.trim())));
}

(async () => {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox'],
  });
  const out = { steps: [] };
  try {
    const page = await browser.newPage({ viewport: { width: 900, height: 520 } });
    const shot = async name => {
      await page.screenshot({ path: path.join(shots, name + '.png'), fullPage: true });
      out.steps.push(name);
    };

    await page.goto(base + '/cgi-bin/list.py');
    out.initial = await rows(page);
    await shot('1-list');

    await page.click('text=New contact');
    await page.fill('input[name=name]', NAME);
    await page.fill('input[name=email]', 'zed@example.org');
    await page.fill('input[name=phone]', '555');
    await page.selectOption('select[name=kind]', 'family');
    await page.check('input[name=newsletter][value=yes]');
    await page.setInputFiles('input[name=file]', upload);
    await shot('2-new');
    await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
    out.afterAdd = await rows(page);
    await shot('3-list-added');

    await Promise.all([page.waitForNavigation(), page.click(`a:text-is(${JSON.stringify(NAME)})`)]);
    out.form = {
      name: await page.inputValue('input[name=name]'),
      email: await page.inputValue('input[name=email]'),
      kind: await page.inputValue('select[name=kind]'),
      newsletter: await page.isChecked('input[name=newsletter][value=yes]'),
      file: await page.innerText('form a'),
    };
    await page.fill('input[name=phone]', '+1 555 0199');
    await page.selectOption('select[name=kind]', 'work');
    await page.check('input[name=newsletter][value=no]');
    await shot('4-edit');
    await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
    out.afterEdit = await rows(page);

    await Promise.all([page.waitForNavigation(), page.selectOption('select[name=sort]', 'newest')]);
    out.sorted = await rows(page);
    await page.goto(base + '/cgi-bin/list.py');  // the preference is remembered
    out.sortedAgain = await rows(page);
    out.sortShown = await page.inputValue('select[name=sort]');
    await shot('5-list-sorted');

    const href = await page.getAttribute(`tr:has(a:text-is(${JSON.stringify(NAME)})) td:last-child a`, 'href');
    const download = await page.request.get(new URL(href, page.url()).toString());
    out.download = {
      status: download.status(),
      type: download.headers()['content-type'],
      base64: (await download.body()).toString('base64'),
    };

    await page.goto(base + '/cgi-bin/list.cgi');
    out.cpp = await rows(page);
    out.cppTitle = await page.title();
    await shot('6-list-cpp');
  } catch (e) {
    out.error = String(e && e.stack || e);
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(out));
})();
