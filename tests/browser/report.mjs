// dranvel report's page in headless Chromium with the network off:
//   node report.mjs REPORT.html EXPECTED.json SHOTS_DIR
// EXPECTED (written by tests/cli/report.sh from the analysis's own files):
// points per pair, one feature with its raw and normalised counts from the
// tables, and a search word with the ids it must find.  Prints one line per
// check; exits 1 on any failure.
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [html, expectedPath, shots] = process.argv.slice(2);
const expected = JSON.parse(fs.readFileSync(expectedPath, 'utf8'));
let failures = 0;
const check = (name, ok, detail) => {
  console.log(`${ok ? 'ok' : 'FAIL'}: ${name}${ok ? '' : ': ' + detail}`);
  if (!ok) failures++;
};

const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  const problems = [], requests = [];
  page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.setRequestInterception(true);
  page.on('request', (r) => {
    const url = r.url();
    if (url.startsWith('file:') || url.startsWith('data:') || url.startsWith('blob:')) r.continue();
    else { requests.push(url); r.abort(); }
  });
  await page.setOfflineMode(true);
  const client = await page.createCDPSession();
  await client.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: path.resolve(shots) });

  const start = Date.now();
  await page.goto('file://' + path.resolve(html));
  await page.waitForFunction(() => window.dranvel && window.dranvel.ready, { timeout: 30000 });
  const seconds = (Date.now() - start) / 1000;
  console.log(`ready in ${seconds.toFixed(2)} s`);
  if (expected.max_seconds) check(`ready within ${expected.max_seconds} s`, seconds <= expected.max_seconds, `${seconds} s`);
  check('no console error', problems.length === 0, problems.join(' | '));
  check('nothing requested from the network', requests.length === 0, requests.join(' '));
  await page.screenshot({ path: path.join(shots, 'report.png'), fullPage: false });

  // Points drawn: the scatter series of MA and volcano, without the chosen mark.
  const points = await page.evaluate(() => {
    const out = [];
    for (const [id, c] of Object.entries(window.dranvel.charts))
      if (/^chart-(ma|volcano)-/.test(id))
        out.push([id, c.getOption().series.slice(0, 3).reduce((n, s) => n + s.data.length, 0)]);
    return out;
  });
  for (const [id, n] of points) {
    const pair = Number(id.split('-').pop());
    check(`${id}: ${expected.points[pair]} points`, n === expected.points[pair], `${n}`);
  }
  const pca = await page.evaluate(() => window.dranvel.charts['chart-pca'].getOption().series.reduce((n, s) => n + s.data.length, 0));
  check(`PCA: one point per sample (${expected.samples})`, pca === expected.samples, `${pca}`);

  // Search.
  await page.type('#search-0', expected.search);
  const found = await page.evaluate(() => window.dranvel.tables[0].order.map((r) => window.dranvel.data.features[r]).sort());
  check(`search "${expected.search}" finds ${expected.found.join(',')}`, JSON.stringify(found) === JSON.stringify([...expected.found].sort()), found.join(','));
  const first = await page.$eval('#grid-0 .row .cell.id', (e) => e.textContent);
  check('the grid shows a found feature', expected.found.includes(first), first);

  // Clicking a row shows the counts of the tables.
  await page.click('#grid-0 .row');
  await page.waitForSelector('#detail-0 table');
  const shown = await page.$$eval('#detail-0 table tr', (trs) => trs.slice(1).map((tr) => [...tr.children].map((td) => td.textContent)));
  const want = expected.counts[first];
  check(`clicking ${first} shows its raw and normalised counts`, JSON.stringify(shown) === JSON.stringify(want),
    `${JSON.stringify(shown)} != ${JSON.stringify(want)}`);
  await page.screenshot({ path: path.join(shots, 'feature.png'), fullPage: false });

  // Select the found rows and save them as TSV.
  await page.click('#pick-shown-0');
  await page.click('#save-tsv-0');
  const saved = await page.evaluate(() => window.dranvel.lastSaved);
  const ids = saved.trim().split('\n').slice(1).map((l) => l.split('\t')[0]).sort();
  check('the TSV of the selection holds exactly the found rows', JSON.stringify(ids) === JSON.stringify([...expected.found].sort()), ids.join(','));
  const [tsvHead, ...tsvRows] = saved.trim().split('\n').map((l) => l.split('\t'));
  const at = (name) => tsvHead.indexOf(name);
  const bad = tsvRows.filter((f) => Number(f[at('P-value')]) !== expected.pvalue[f[0]]);
  check('the TSV holds the report\'s P-values', at('P-value') > 0 && bad.length === 0, JSON.stringify(bad));
  // SD/C per condition, against mirdle's in the results.
  const near = (x, y) => Math.abs(x - y) <= 1e-12 * Math.max(1, Math.abs(y));
  const badSdc = tsvRows.filter((f) => !near(Number(f[at('SD/C_untreated')]), expected.sdc[f[0]][0]) ||
    !near(Number(f[at('SD/C_treated')]), expected.sdc[f[0]][1]));
  check('the TSV\'s SD/C per condition is mirdle\'s', at('SD/C_untreated') > 0 && at('SD/C_treated') > 0 &&
    tsvRows.length > 0 && badSdc.length === 0, JSON.stringify(badSdc));

  // A plot saved as SVG holds the drawing.
  await page.click('#chart-volcano-0 + .tools button:nth-child(2)');
  const svg = await page.evaluate(() => window.dranvel.lastSaved);
  check('a plot saved as SVG', svg.startsWith('<svg') && svg.includes('</svg>'), svg.slice(0, 40));

  await page.evaluate(() => document.getElementById('pair-0').scrollIntoView());
  await page.screenshot({ path: path.join(shots, 'pair.png'), fullPage: false });
  await page.evaluate(() => document.getElementById('qc').scrollIntoView());
  await page.screenshot({ path: path.join(shots, 'qc.png'), fullPage: false });
} finally {
  await browser.close();
}
process.exit(failures ? 1 : 0);
