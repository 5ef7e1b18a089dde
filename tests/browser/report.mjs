// dranvel report's page in headless Chromium with the network off:
//   node report.mjs REPORT.html [EXPECTED.json SHOTS_DIR]
// Without EXPECTED, only opens the page: the time until it is ready, no
// console error, nothing asked of the network (what the benchmark times).
// EXPECTED (written by tests/cli/report.sh from the analysis's own files):
// points per pair, one feature with its raw and normalised counts from the
// tables, and a search word with the ids it must find.  Prints one line per
// check; exits 1 on any failure.
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [html, expectedPath, shots] = process.argv.slice(2);
const expected = expectedPath ? JSON.parse(fs.readFileSync(expectedPath, 'utf8')) : null;
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
  if (shots) await client.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: path.resolve(shots) });

  const start = Date.now();
  await page.goto('file://' + path.resolve(html));
  await page.waitForFunction(() => window.dranvel && window.dranvel.ready, { timeout: 30000 });
  const seconds = (Date.now() - start) / 1000;
  console.log(`ready in ${seconds.toFixed(2)} s`);
  check('no console error', problems.length === 0, problems.join(' | '));
  check('nothing requested from the network', requests.length === 0, requests.join(' '));
  if (!expected) {
    await browser.close();
    process.exit(failures ? 1 : 0);
  }
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

  // A click on the MA plot's rightmost point: the table scrolls to that
  // feature's row, which becomes the chosen one.
  await page.$eval('#search-0', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); });
  await page.evaluate(() => document.getElementById('chart-ma-0').scrollIntoView());
  const farAt = await page.evaluate((id) => {
    const D = window.dranvel.data, r = D.features.indexOf(id);
    const c = window.dranvel.charts['chart-ma-0'];
    const q = c.getOption().series.slice(0, 3).flatMap((s) => s.data).find((d) => d[2] === r);
    const [x, y] = c.convertToPixel({ gridIndex: 0 }, q);
    const box = document.getElementById('chart-ma-0').getBoundingClientRect();
    return [box.left + x, box.top + y];
  }, expected.ma_far);
  await page.mouse.click(farAt[0], farAt[1]);
  const focused = await page.evaluate(() => {
    const T = window.dranvel.tables[0], grid = document.getElementById('grid-0');
    const row = grid.querySelector('.row.current'), g = grid.getBoundingClientRect();
    if (!row) return { current: window.dranvel.data.features[T.current], row: null };
    const b = row.getBoundingClientRect();
    return { current: window.dranvel.data.features[T.current], row: row.querySelector('.cell.id').textContent,
      inView: b.top >= g.top && b.bottom <= g.bottom, scrolled: grid.scrollTop, detail: document.querySelector('#detail-0 h3').textContent };
  });
  check(`a click on ${expected.ma_far} in the MA plot scrolls the table to its row and chooses it`,
    focused.current === expected.ma_far && focused.row === expected.ma_far && focused.inView && focused.scrolled > 0 &&
    focused.detail === expected.ma_far, JSON.stringify(focused));

  // A rectangle brushed in the volcano: exactly the features inside are
  // selected, drawn as such in both plots, and saved as TSV.
  // The rectangle spans log2 FC 1 to 3 and the middle of the data's -log10 P,
  // clear of the toolbox at the top.
  await page.evaluate(() => document.getElementById('chart-volcano-0').scrollIntoView());
  const top = Math.max(...expected.volcano.map((v) => v[1]));
  const corners = await page.evaluate((top) => {
    const c = window.dranvel.charts['chart-volcano-0'];
    const box = document.getElementById('chart-volcano-0').getBoundingClientRect();
    const a = c.convertToPixel({ gridIndex: 0 }, [1, 0.8 * top]), b = c.convertToPixel({ gridIndex: 0 }, [3, 0.4 * top]);
    c.dispatchAction({ type: 'takeGlobalCursor', key: 'brush', brushOption: { brushType: 'rect', brushMode: 'single' } });
    const at = [Math.round(a[0]), Math.round(a[1]), Math.round(b[0]), Math.round(b[1])];
    const lo = c.convertFromPixel({ gridIndex: 0 }, [at[0], at[3]]), hi = c.convertFromPixel({ gridIndex: 0 }, [at[2], at[1]]);
    return { page: [box.left + at[0], box.top + at[1], box.left + at[2], box.top + at[3]], lo, hi };
  }, top);
  // The selection made before: the brush's replaces it.
  const before = await page.evaluateHandle(() => window.dranvel.tables[0].picked);
  await page.mouse.move(corners.page[0], corners.page[1]);
  await page.mouse.down();
  await page.mouse.move(corners.page[2], corners.page[3], { steps: 8 });
  await page.mouse.up();
  await page.waitForFunction((b) => window.dranvel.tables[0].picked !== b, { timeout: 5000 }, before).catch(() => {});
  const within = expected.volcano.filter(([x, y]) => x >= corners.lo[0] && x <= corners.hi[0] && y >= corners.lo[1] && y <= corners.hi[1])
    .map((v) => v[2]).sort();
  const brushed = await page.evaluate(() => {
    const T = window.dranvel.tables[0], D = window.dranvel.data, C = window.dranvel.charts;
    return { picked: [...T.picked].map((r) => D.features[r]).sort(),
      ma: C['chart-ma-0'].getOption().series[4].data.length, volcano: C['chart-volcano-0'].getOption().series[4].data.length,
      info: document.getElementById('shown-0').textContent };
  });
  check(`brushing a rectangle in the volcano selects its ${within.length} features`,
    within.length > 10 && JSON.stringify(brushed.picked) === JSON.stringify(within), `${brushed.picked.length}: ${brushed.picked.join(',')}`);
  check('the brushed features are drawn selected in both plots and counted by the table',
    brushed.ma === within.length && brushed.volcano === within.length && brushed.info.includes(`${within.length} selected`), JSON.stringify(brushed));
  await page.click('#save-tsv-0');
  const brushedTsv = (await page.evaluate(() => window.dranvel.lastSaved)).trim().split('\n').slice(1).map((l) => l.split('\t')[0]).sort();
  check('the TSV of the brushed selection holds exactly those features', JSON.stringify(brushedTsv) === JSON.stringify(within), brushedTsv.join(','));

  // A plot saved as PNG: a PNG file at twice the chart's size, not blank.
  const pngPath = path.join(shots, 'chart-volcano-0.png');
  await page.click('#chart-volcano-0 + .tools button:nth-child(1)');
  for (let t = 0; t < 50 && !fs.existsSync(pngPath); ++t) await new Promise((ok) => setTimeout(ok, 100));
  const png = fs.existsSync(pngPath) ? fs.readFileSync(pngPath) : Buffer.alloc(0);
  const size = await page.evaluate(() => [window.dranvel.charts['chart-volcano-0'].getWidth(), window.dranvel.charts['chart-volcano-0'].getHeight()]);
  const isPng = png.length > 24 && png.subarray(0, 8).equals(Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]));
  const pngSize = isPng ? [png.readUInt32BE(16), png.readUInt32BE(20)] : [];
  const inked = isPng ? await page.evaluate(async (b64) => {
    const img = new Image();
    img.src = 'data:image/png;base64,' + b64;
    await img.decode();
    const cv = document.createElement('canvas');
    cv.width = img.width, cv.height = img.height;
    const g = cv.getContext('2d');
    g.drawImage(img, 0, 0);
    const px = g.getImageData(0, 0, cv.width, cv.height).data;
    let n = 0;
    for (let i = 0; i < px.length; i += 4) if (px[i] < 200 || px[i + 1] < 200 || px[i + 2] < 200) ++n;
    return n;
  }, png.toString('base64')) : 0;
  check('a plot saved as PNG: twice the chart\'s size, with its drawing', isPng && pngSize[0] === 2 * size[0] &&
    pngSize[1] === 2 * size[1] && inked > 2000, `png ${isPng} ${pngSize} against ${size}, ${inked} inked pixels`);

  // The PCA coloured by a column of the sheet: one series per value, each
  // holding exactly the samples of that value.
  await page.select('#pca-colour', 'type');
  const byType = await page.evaluate(() => {
    const out = {};
    for (const s of window.dranvel.charts['chart-pca'].getOption().series)
      for (const d of s.data) out[window.dranvel.data.samples[d[2]]] = s.name;
    return out;
  });
  const sortedKeys = (o) => JSON.stringify(Object.keys(o).sort().map((k) => [k, o[k]]));
  check('the PCA coloured by the sheet\'s "type"', sortedKeys(byType) === sortedKeys(expected.type),
    `${sortedKeys(byType)} != ${sortedKeys(expected.type)}`);

  await page.evaluate(() => document.getElementById('pair-0').scrollIntoView());
  await page.screenshot({ path: path.join(shots, 'pair.png'), fullPage: false });
  await page.evaluate(() => document.getElementById('qc').scrollIntoView());
  await page.screenshot({ path: path.join(shots, 'qc.png'), fullPage: false });
} finally {
  await browser.close();
}
process.exit(failures ? 1 : 0);
