// The page of dranvel report: inflates the embedded data and draws every
// section from it.  Nothing is fetched; window.dranvel holds the state for
// anyone who wants to look (the browser tests do).
'use strict';
(function () {
  const R = (window.dranvel = { charts: {}, tables: [], ready: false, lastSaved: null });
  const el = (tag, attrs, ...kids) => {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === 'text') e.textContent = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else e.setAttribute(k, v);
    }
    for (const k of kids) e.append(k);
    return e;
  };
  const fmt = (v, d) => (v === null || v === undefined || Number.isNaN(v) ? 'NA'
    : v === Infinity ? 'Inf' : v === -Infinity ? '-Inf' : Number(v.toPrecision(d || 4)).toString());
  const table = (head, rows, cls) => {
    const t = el('table', { class: 'plain ' + (cls || '') });
    t.append(el('tr', {}, ...head.map((h) => el('th', { text: h }))));
    for (const r of rows)
      t.append(el('tr', {}, ...r.map((c) => (c instanceof Node ? el('td', {}, c)
        : el('td', { text: String(c), class: typeof c === 'number' ? 'num' : '' })))));
    return t;
  };
  const save = (name, blob) => {
    const a = el('a', { href: URL.createObjectURL(blob), download: name });
    document.body.append(a);
    a.click();
    a.remove();
  };
  const palette = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f', '#bcbd22', '#17becf'];

  // A chart with its PNG and SVG buttons.
  function chart(parent, id, option, wide) {
    const box = el('div', { class: 'chartbox' });
    const div = el('div', { id, class: 'chart' + (wide ? ' wide' : '') });
    const tools = el('div', { class: 'tools' },
      el('button', { text: 'PNG', onclick: () => savePlot(id, 'png') }),
      el('button', { text: 'SVG', onclick: () => savePlot(id, 'svg') }));
    box.append(div, tools);
    parent.append(box);
    const c = echarts.init(div, null, { renderer: 'canvas' });
    c.setOption(Object.assign({ animation: false, toolbox: { feature: { dataZoom: {}, restore: {} } } }, option));
    R.charts[id] = c;
    return c;
  }
  function savePlot(id, type) {
    const c = R.charts[id];
    if (type === 'png') {
      const url = c.getDataURL({ type: 'png', pixelRatio: 2, backgroundColor: '#fff' });
      fetchless(url).then((b) => save(id + '.png', b));
      return;
    }
    const div = el('div', { style: `width:${c.getWidth()}px;height:${c.getHeight()}px;position:absolute;left:-99999px` });
    document.body.append(div);
    const s = echarts.init(div, null, { renderer: 'svg' });
    const opt = c.getOption();
    delete opt.toolbox;
    s.setOption(opt);
    const svg = s.renderToSVGString();
    s.dispose();
    div.remove();
    R.lastSaved = svg;
    save(id + '.svg', new Blob([svg], { type: 'image/svg+xml' }));
  }
  // A data: URL to a Blob without fetch, which the page's policy refuses.
  function fetchless(url) {
    const bin = atob(url.slice(url.indexOf(',') + 1));
    const bytes = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; ++i) bytes[i] = bin.charCodeAt(i);
    return Promise.resolve(new Blob([bytes], { type: 'image/png' }));
  }

  async function inflate() {
    const bin = atob(document.getElementById('data').textContent.trim());
    const bytes = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; ++i) bytes[i] = bin.charCodeAt(i);
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
    return JSON.parse(await new Response(stream).text());
  }

  function derive(D) {
    D.norm = D.raw.map((col, s) => col.map((v) => v / D.factors[s]));
    D.members = D.conditions.map((c) => D.samples.map((_, i) => i).filter((i) => D.sample_condition[i] === c));
    const rows = D.features.length;
    D.mean = D.members.map((m) => {
      const out = new Float64Array(rows);
      for (let r = 0; r < rows; ++r) {
        let s = 0;
        for (const i of m) s += D.norm[i][r];
        out[r] = s / m.length;
      }
      return out;
    });
    // SD/C as mirdle gives it: the population SD over the mean, 0 for a mean of 0.
    D.sdc = D.members.map((m, k) => {
      const out = new Float64Array(rows);
      for (let r = 0; r < rows; ++r) {
        const mean = D.mean[k][r];
        let q = 0;
        for (const i of m) q += (D.norm[i][r] - mean) ** 2;
        out[r] = mean === 0 ? 0 : Math.sqrt(q / m.length) / mean;
      }
      return out;
    });
    D.allZero = D.members.map((m) => {
      const out = new Uint8Array(rows);
      for (let r = 0; r < rows; ++r) out[r] = m.every((i) => D.raw[i][r] === 0) ? 1 : 0;
      return out;
    });
  }

  function provenance(D, root) {
    const P = D.provenance;
    const sec = el('section', { id: 'provenance' }, el('h2', { text: 'Provenance' }));
    sec.append(table(['', ''], [
      ['suite', `${P.suite} ${P.version} (report by ${D.report_version})`],
      ['date', P.date],
      ['working directory', P.working_directory],
      ['command', el('code', { text: P.command.join(' ') })],
      ['options', el('code', { text: JSON.stringify(P.options) })],
      ['draws', P.options.draws],
      ['normalised', D.normalized ? `yes, ${P.options.normalize}` : 'no'],
    ]));
    sec.append(el('h3', { text: 'Inputs' }),
      table(['role', 'path', 'size (bytes)', 'SHA-256'], P.inputs.map((i) => [i.role, i.absolute_path, i.size, el('code', { text: i.sha256 })])));
    sec.append(el('h3', { text: 'Steps' }),
      table(['step', 'command', 'seconds'], P.steps.map((s) => [s.name, el('code', { text: s.command.join(' ') }), Number(s.seconds.toFixed(3))])));
    sec.append(el('h3', { text: 'Method per pair' }),
      table(['pair', 'replicates', 'method', 'replicates used'], D.pairs.map((p) =>
        [p.name, `${D.reps[p.b]} vs ${D.reps[p.a]}`, p.floor.method, p.floor.used])));
    root.append(sec);
  }

  function qc(D, root) {
    const sec = el('section', { id: 'qc' }, el('h2', { text: 'Samples QC' }));
    root.append(sec);
    const lib = D.raw.map((c) => c.reduce((a, b) => a + b, 0));
    const det = D.raw.map((c) => c.filter((v) => v > 0).length);
    sec.append(table(['sample', 'condition', 'library size', 'detected features', 'size factor'],
      D.samples.map((s, i) => [s, D.sample_condition[i], lib[i], det[i], D.normalized ? Number(D.factors[i].toPrecision(6)) : 'not normalised']), 'qc-table'));
    const charts = el('div', { class: 'charts' });
    sec.append(charts);
    const colourOf = (i) => palette[D.conditions.indexOf(D.sample_condition[i]) % palette.length];
    chart(charts, 'chart-libsize', {
      title: { text: 'Library size and detected features' }, tooltip: {}, legend: { top: 24 },
      xAxis: { type: 'category', data: D.samples, axisLabel: { rotate: 45 } },
      // Library sizes in millions, so that their labels fit beside the axis.
      yAxis: [{ type: 'value', name: 'million counts', axisLabel: { formatter: (v) => String(v / 1e6) } },
        { type: 'value', name: 'features' }], grid: { bottom: 90, left: 64, right: 64 },
      series: [{ name: 'library size', type: 'bar', data: lib.map((v, i) => ({ value: v, itemStyle: { color: colourOf(i) } })) },
        { name: 'detected', type: 'line', yAxisIndex: 1, data: det }],
    });
    chart(charts, 'chart-dist', {
      title: { text: 'log2(normalised + 1) per sample' }, tooltip: {}, grid: { bottom: 90 },
      xAxis: { type: 'category', data: D.samples, axisLabel: { rotate: 45 } }, yAxis: { type: 'value' },
      series: [{ type: 'boxplot', data: D.boxes.map((b, i) => ({ value: b, itemStyle: { borderColor: colourOf(i) } })) }],
    });
    // PCA, coloured by the condition or any column of the sheet.
    const columns = ['condition', ...Object.keys(D.sheet)];
    const select = el('select', { id: 'pca-colour' }, ...columns.map((c) => el('option', { value: c, text: c })));
    const pcaBox = el('div', {});
    charts.append(el('div', {}, el('label', { text: 'PCA colour: ' }), select, pcaBox));
    const share = D.pca.share;
    const pcaOption = (col) => {
      const values = col === 'condition' ? D.sample_condition : D.sheet[col];
      const groups = [...new Set(values)];
      return {
        title: { text: `PCA, ${D.pca.features} most variable features` }, legend: { top: 24 },
        tooltip: { formatter: (p) => D.samples[p.data[2]] },
        xAxis: { name: `PC1 ${(100 * share[0]).toFixed(1)} %`, nameLocation: 'middle', nameGap: 24, scale: true },
        yAxis: { name: `PC2 ${(100 * (share[1] || 0)).toFixed(1)} %`, nameLocation: 'middle', nameGap: 32, scale: true },
        series: groups.map((g, k) => ({ name: g, type: 'scatter', symbolSize: 12, itemStyle: { color: palette[k % palette.length] },
          data: D.samples.map((_, i) => [D.pca.pc1[i], D.pca.pc2[i], i]).filter((_, i) => values[i] === g) })),
      };
    };
    const pca = chart(pcaBox, 'chart-pca', pcaOption('condition'));
    select.addEventListener('change', () => pca.setOption(pcaOption(select.value), { notMerge: true }));
    chart(charts, 'chart-scree', {
      title: { text: 'Scree: variance share per component' }, tooltip: {},
      xAxis: { type: 'category', data: share.map((_, i) => 'PC' + (i + 1)) }, yAxis: { type: 'value', max: 1 },
      series: [{ type: 'bar', data: share }],
    });
    const order = D.cluster_order;
    const heat = [];
    let dmax = 0;
    order.forEach((a, x) => order.forEach((b, y) => { heat.push([x, y, D.distances[a][b]]); dmax = Math.max(dmax, D.distances[a][b]); }));
    chart(charts, 'chart-distances', {
      title: { text: 'Sample distances (log2, Euclidean), clustering order' }, tooltip: {}, grid: { bottom: 90, left: 100 },
      xAxis: { type: 'category', data: order.map((i) => D.samples[i]), axisLabel: { rotate: 45 } },
      yAxis: { type: 'category', data: order.map((i) => D.samples[i]) },
      visualMap: { min: 0, max: dmax || 1, calculable: true, orient: 'horizontal', left: 'center', bottom: 0, show: false },
      series: [{ type: 'heatmap', data: heat }],
    });
    chart(charts, 'chart-sdc', {
      title: { text: 'SD/C against mean, per condition' }, tooltip: {}, legend: { top: 24 },
      xAxis: { type: 'log', name: 'mean', nameLocation: 'middle', nameGap: 24 }, yAxis: { type: 'value', name: 'SD/C', nameLocation: 'middle', nameGap: 32 },
      series: D.conditions.map((c, k) => ({ name: c, type: 'scatter', large: true, symbolSize: 2, itemStyle: { color: palette[k % palette.length], opacity: 0.5 },
        data: sdc(D, k) })),
    });
  }
  function sdc(D, k) {
    const out = [];
    for (let r = 0; r < D.features.length; ++r) if (D.mean[k][r] > 0) out.push([D.mean[k][r], D.sdc[k][r]]);
    return out;
  }

  // ---- One pair ------------------------------------------------------------
  function pairSection(D, root, p, pi) {
    const threshold = D.provenance.options.threshold;
    const rows = D.features.length, a = p.a, b = p.b;
    const sec = el('section', { id: 'pair-' + pi }, el('h2', { text: `${D.conditions[b]} vs ${D.conditions[a]}` }));
    root.append(sec);
    const lfc = new Float64Array(rows), amean = new Float64Array(rows);
    for (let r = 0; r < rows; ++r) {
      lfc[r] = Math.log2(D.mean[b][r] / D.mean[a][r]);
      amean[r] = Math.log2((D.mean[a][r] + D.mean[b][r]) / 2);
    }
    const shown = (r) => !(D.allZero[a][r] && D.allZero[b][r]) && !Number.isNaN(lfc[r]) && p.pvalue[r] !== null;
    const counted = (limit, field) => {
      let up = 0, down = 0;
      for (let r = 0; r < rows; ++r) {
        const v = p[field][r];
        if (v !== null && v < limit && !Number.isNaN(lfc[r])) lfc[r] > 0 ? ++up : lfc[r] < 0 ? ++down : 0;
      }
      return [up, down];
    };
    const limits = [...new Set([threshold, 0.05, 0.01, 0.001])];
    sec.append(el('h3', { text: 'Up and down' }), table(['below', 'P-value: up', 'down', 'adjusted P-value: up', 'down'],
      limits.map((l) => [l, ...counted(l, 'pvalue'), ...counted(l, 'padj')]), 'counts-' + pi));
    const charts = el('div', { class: 'charts' });
    sec.append(charts);
    const finite = [];
    for (let r = 0; r < rows; ++r) if (Number.isFinite(lfc[r])) finite.push(Math.abs(lfc[r]));
    const edge = (finite.length ? Math.max(...finite) : 1) + 0.5;
    const y = (r) => (Number.isFinite(lfc[r]) ? lfc[r] : Math.sign(lfc[r]) * edge);
    const groups = [[], [], []];  // up, down, other: [x, y, row]
    const vgroups = [[], [], []];
    for (let r = 0; r < rows; ++r) {
      if (!shown(r)) continue;
      const g = p.pvalue[r] < threshold ? (lfc[r] > 0 ? 0 : 1) : 2;
      groups[g].push([Number.isFinite(amean[r]) ? amean[r] : 0, y(r), r]);
      vgroups[g].push([y(r), -Math.log10(p.pvalue[r]), r]);
    }
    const names = [`up, P < ${threshold}`, `down, P < ${threshold}`, 'other'];
    const colours = ['#d62728', '#1f77b4', 'rgba(120,120,120,0.35)'];
    const series = (data) => [...data.map((d, g) => ({ name: names[g], type: 'scatter', large: true, largeThreshold: 5000, symbolSize: 4, itemStyle: { color: colours[g] }, data: d })),
      { name: 'chosen', type: 'scatter', symbolSize: 14, itemStyle: { color: 'none', borderColor: '#000', borderWidth: 2 }, data: [], z: 10 },
      { name: 'selected', type: 'scatter', symbolSize: 7, itemStyle: { color: '#ff9900', borderColor: '#000', borderWidth: 0.5 }, data: [], z: 9 }];
    // A rectangle drawn with the brush tool selects the features inside it.
    const common = { tooltip: { formatter: (q) => D.features[q.data[2]] }, legend: { top: 24 }, dataZoom: [{ type: 'inside', xAxisIndex: 0 }, { type: 'inside', yAxisIndex: 0 }],
      brush: { xAxisIndex: 'all', brushLink: 'none', throttleType: 'debounce', outOfBrush: { colorAlpha: 1 } },
      toolbox: { feature: { dataZoom: {}, brush: { type: ['rect', 'clear'] }, restore: {} } } };
    const ma = chart(charts, 'chart-ma-' + pi, Object.assign({ title: { text: 'MA' }, xAxis: { name: 'log2 mean', nameLocation: 'middle', nameGap: 24, scale: true }, yAxis: { name: 'log2 FC', nameLocation: 'middle', nameGap: 28, scale: true }, series: series(groups) }, common));
    const vol = chart(charts, 'chart-volcano-' + pi, Object.assign({ title: { text: 'Volcano' }, xAxis: { name: 'log2 FC', nameLocation: 'middle', nameGap: 24, scale: true }, yAxis: { name: '-log10 P', nameLocation: 'middle', nameGap: 28 }, series: series(vgroups) }, common));
    const bins = new Array(20).fill(0);
    for (let r = 0; r < rows; ++r) if (p.pvalue[r] !== null) bins[Math.min(19, Math.floor(p.pvalue[r] * 20))]++;
    chart(charts, 'chart-phist-' + pi, { title: { text: 'P-value histogram' }, tooltip: {}, xAxis: { type: 'category', data: bins.map((_, i) => (i / 20).toFixed(2)) }, yAxis: { type: 'value' }, series: [{ type: 'bar', data: bins }] });

    // Every feature, in a grid that draws only the rows in view.
    const T = { pair: p, order: [], picked: new Set(), current: -1, sort: { key: 'pvalue', dir: 1 } };
    R.tables[pi] = T;
    const cols = [
      { key: 'id', name: 'feature', get: (r) => D.features[r], text: (r) => D.features[r] },
      { key: 'ma', name: 'mean ' + D.conditions[a], get: (r) => D.mean[a][r] },
      { key: 'mb', name: 'mean ' + D.conditions[b], get: (r) => D.mean[b][r] },
      { key: 'sa', name: 'SD/C ' + D.conditions[a], get: (r) => D.sdc[a][r] },
      { key: 'sb', name: 'SD/C ' + D.conditions[b], get: (r) => D.sdc[b][r] },
      { key: 'lfc', name: 'log2 FC', get: (r) => lfc[r] },
      { key: 'pvalue', name: 'P-value', get: (r) => p.pvalue[r] },
      { key: 'padj', name: 'adjusted P', get: (r) => p.padj[r] },
    ];
    const search = el('input', { id: 'search-' + pi, type: 'search', placeholder: 'feature id contains' });
    const maxp = el('input', { id: 'maxp-' + pi, type: 'number', step: 'any', placeholder: 'P at most' });
    const minfc = el('input', { id: 'minfc-' + pi, type: 'number', step: 'any', placeholder: '|log2 FC| at least' });
    const info = el('span', { id: 'shown-' + pi, class: 'note' });
    const head = el('div', { class: 'gridhead' }, el('div', { class: 'cell pick', text: '✓' }));
    const grid = el('div', { class: 'grid', id: 'grid-' + pi });
    const spacer = el('div', {});
    grid.append(spacer);
    const detail = el('div', { class: 'detail', id: 'detail-' + pi });
    sec.append(el('h3', { text: 'Every feature' }), el('div', { class: 'controls' }, search, maxp, minfc,
      el('button', { id: 'pick-shown-' + pi, text: 'select shown', onclick: () => { T.order.forEach((r) => T.picked.add(r)); picked(); } }),
      el('button', { id: 'pick-none-' + pi, text: 'select none', onclick: () => { T.picked.clear(); picked(); } }),
      el('button', { id: 'save-tsv-' + pi, text: 'save selected as TSV', onclick: () => saveTsv() }), info), head, grid, detail);
    for (const c of cols)
      head.append(el('div', { class: 'cell' + (c.key === 'id' ? ' id' : ''), text: c.name, onclick: () => {
        T.sort = { key: c.key, dir: T.sort.key === c.key ? -T.sort.dir : 1 };
        filter();
      } }));
    const rowH = 24;
    function filter() {
      const q = search.value.trim().toLowerCase(), mp = parseFloat(maxp.value), mf = parseFloat(minfc.value);
      const out = [];
      for (let r = 0; r < rows; ++r) {
        if (q && !D.features[r].toLowerCase().includes(q)) continue;
        if (!Number.isNaN(mp) && !(p.pvalue[r] !== null && p.pvalue[r] <= mp)) continue;
        if (!Number.isNaN(mf) && !(Math.abs(lfc[r]) >= mf)) continue;
        out.push(r);
      }
      const c = cols.find((x) => x.key === T.sort.key), dir = T.sort.dir;
      const key = (r) => { const v = c.get(r); return v === null || Number.isNaN(v) ? null : v; };
      out.sort((x, y) => {
        const kx = key(x), ky = key(y);
        if (kx === null || ky === null) return (kx === null) - (ky === null) || x - y;
        return (kx < ky ? -dir : kx > ky ? dir : 0) || x - y;
      });
      T.order = out;
      info.textContent = `${out.length} of ${rows} features shown, ${T.picked.size} selected`;
      spacer.style.height = out.length * rowH + 'px';
      draw();
    }
    function draw() {
      info.textContent = `${T.order.length} of ${rows} features shown, ${T.picked.size} selected`;
      for (const e of [...grid.querySelectorAll('.row')]) e.remove();
      const first = Math.max(0, Math.floor(grid.scrollTop / rowH) - 5);
      const last = Math.min(T.order.length, first + Math.ceil(grid.clientHeight / rowH) + 10);
      for (let k = first; k < last; ++k) {
        const r = T.order[k];
        const box = el('input', { type: 'checkbox' });
        box.checked = T.picked.has(r);
        box.addEventListener('click', (ev) => { ev.stopPropagation(); box.checked ? T.picked.add(r) : T.picked.delete(r); picked(); });
        const line = el('div', { class: 'row' + (r === T.current ? ' current' : ''), 'data-row': r, style: `top:${k * rowH}px` },
          el('div', { class: 'cell pick' }, box),
          ...cols.map((c) => el('div', { class: 'cell' + (c.key === 'id' ? ' id' : ''), text: c.text ? c.text(r) : fmt(c.get(r)) })));
        line.addEventListener('click', () => choose(r));
        grid.append(line);
      }
    }
    grid.addEventListener('scroll', () => requestAnimationFrame(draw));
    search.addEventListener('input', filter);
    maxp.addEventListener('input', filter);
    minfc.addEventListener('input', filter);
    function choose(r) {
      T.current = r;
      const mine = D.samples.map((_, i) => i).filter((i) => D.sample_condition[i] === D.conditions[a] || D.sample_condition[i] === D.conditions[b]);
      detail.replaceChildren(el('h3', { text: D.features[r] }), table(['sample', 'condition', 'raw', 'normalised'],
        mine.map((i) => [D.samples[i], D.sample_condition[i], D.raw[i][r], D.norm[i][r]]), 'counts'));
      const mark = (c, at) => c.setOption({ series: [{}, {}, {}, { data: at }] });
      mark(ma, shown(r) ? [[Number.isFinite(amean[r]) ? amean[r] : 0, y(r), r]] : []);
      mark(vol, shown(r) ? [[y(r), -Math.log10(p.pvalue[r]), r]] : []);
      draw();
    }
    T.choose = choose;
    // The selection drawn in both plots, and the table's boxes.
    function picked() {
      const ms = [], vs = [];
      for (const r of T.picked) if (shown(r)) {
        ms.push([Number.isFinite(amean[r]) ? amean[r] : 0, y(r), r]);
        vs.push([y(r), -Math.log10(p.pvalue[r]), r]);
      }
      ma.setOption({ series: [{}, {}, {}, {}, { data: ms }] });
      vol.setOption({ series: [{}, {}, {}, {}, { data: vs }] });
      draw();
    }
    // A point clicked: the table scrolls to its row (every filter cleared when
    // they hide it) and the feature becomes the chosen one.
    function focus(r) {
      if (!T.order.includes(r)) {
        search.value = maxp.value = minfc.value = '';
        filter();
      }
      const k = T.order.indexOf(r);
      grid.scrollTo({ top: Math.max(0, k * rowH - (grid.clientHeight - rowH) / 2), behavior: 'instant' });
      choose(r);
    }
    T.focus = focus;
    for (const c of [ma, vol]) c.on('click', (q) => { if (q.data && q.seriesIndex <= 2) focus(q.data[2]); });
    // A rectangle in either plot: the features inside become the selection.
    const inside = (groupsOf) => (areas) => {
      const out = new Set();
      for (const area of areas) {
        if (area.brushType !== 'rect' || !area.coordRange) continue;
        const [[x0, x1], [y0, y1]] = area.coordRange;
        for (const g of groupsOf)
          for (const [px, py, r] of g) if (px >= x0 && px <= x1 && py >= y0 && py <= y1) out.add(r);
      }
      return out;
    };
    for (const [c, pick] of [[ma, inside(groups)], [vol, inside(vgroups)]])
      c.on('brushEnd', (e) => {
        if (!e.areas || !e.areas.length) return;
        T.picked = pick(e.areas);
        picked();
      });
    function saveTsv() {
      const picked = T.order.filter((r) => T.picked.has(r));
      const lines = [cols.map((c) => c.key === 'id' ? 'feature' : c.name.replace(/ /g, '_')).join('\t')];
      for (const r of picked) lines.push(cols.map((c) => (c.text ? c.text(r) : String(c.get(r) === null ? 'NA' : c.get(r)))).join('\t'));
      const text = lines.join('\n') + '\n';
      R.lastSaved = text;
      save(`${p.name}_selected.tsv`, new Blob([text], { type: 'text/tab-separated-values' }));
    }
    filter();
  }

  function pvalueLimits(D, root) {
    const sec = el('section', { id: 'pvalues' }, el('h2', { text: 'What these P-values can say, for this design' }));
    root.append(sec);
    const alpha = D.provenance.options.threshold;
    for (const p of D.pairs) {
      const f = p.floor, m = p.in_adjustment;
      let minP = 1, minQ = 1;
      for (let r = 0; r < p.pvalue.length; ++r) {
        if (p.pvalue[r] !== null) minP = Math.min(minP, p.pvalue[r]);
        if (p.padj[r] !== null) minQ = Math.min(minQ, p.padj[r]);
      }
      const items = [`${D.conditions[p.b]} vs ${D.conditions[p.a]}: ${D.reps[p.b]} against ${D.reps[p.a]} replicates, ${f.method}.`];
      if (f.floor !== null) {
        items.push(`P-value floor: ${fmt(f.floor, 4)} (${f.how}).`);
        if (f.floor >= alpha) items.push(`The floor is not below ${alpha}: no feature can reach P < ${alpha}, and none can reach an adjusted ${alpha}.`);
        else {
          // m * floor / k <= alpha for k features at the floor.
          const need = Math.max(1, Math.ceil((f.floor * m) / alpha));
          items.push(`Benjamini-Hochberg over the ${m} features in the adjustment: an adjusted P-value can reach ${alpha} once at least ${need} features (${((100 * need) / Math.max(m, 1)).toFixed(1)} %) sit at the floor (${m} × ${fmt(f.floor, 4)} / ${need} ≤ ${alpha}).`);
        }
      } else items.push(`P-value floor: ${f.how}.`);
      items.push(`Observed here: smallest P-value ${fmt(minP, 4)}, smallest adjusted P-value ${fmt(minQ, 4)}.`);
      if (f.floor !== null && minP < f.floor)
        items.push(`The smallest observed P-value is below the floor of the extreme counts: the method gives other counts smaller P-values than these.`);
      if (D.reps[p.a] !== D.reps[p.b] && f.method.startsWith('near-exact'))
        items.push(`Unequal replicates: the near-exact method takes the first ${f.used} replicates of each condition; the other ${Math.abs(D.reps[p.a] - D.reps[p.b])} play no part in the P-value.`);
      sec.append(el('ul', { class: 'pair-limits' }, ...items.map((t) => el('li', { text: t }))));
    }
  }

  async function main() {
    const D = (R.data = await inflate());
    derive(D);
    const root = document.getElementById('app');
    root.replaceChildren(el('h1', { text: `dranvel report: ${D.conditions.join(', ')}` }),
      el('p', { class: 'note', text: `${D.features.length} features, ${D.samples.length} samples, ${D.pairs.length} pair(s).` }));
    provenance(D, root);
    qc(D, root);
    D.pairs.forEach((p, i) => pairSection(D, root, p, i));
    pvalueLimits(D, root);
    R.ready = true;
    document.body.setAttribute('data-ready', '1');
  }
  main().catch((e) => { console.error(e); document.getElementById('app').textContent = 'This report could not be read: ' + e; });
})();
