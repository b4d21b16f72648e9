// The page: takes a capture (folder, zip or floppy image), hands it to the
// simulator's worker and shows what the uninstaller will do. Text from the
// machine only ever goes into the page as text.
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const source = new Blob([$('worker-source').textContent], {type: 'text/javascript'});
  const worker = new Worker(URL.createObjectURL(source));
  let trace = null;

  // What the report's lines say, in the order the page shows them.
  const GROUPS = [
    ['Devices removed', /^Removed device /],
    ['Keys deleted', /^Deleted key /],
    ['Keys created', /^Created key /],
    ['Values set or emptied', /^(Set|Deleted) value /],
    ['Files deleted', /^Deleted file /],
    ['Files changed', /^(Changed|Created) file |^Attributes of /],
    ['Message, Windows Installer and the companion window',
      /^(Message box|Started|Removed product|Closed window) /],
  ];
  const WARNINGS = [/^Read outside the capture/, /counts as present/, /^No attrib\.txt/,
    /there is nothing to undo$/];

  function element(tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (className) e.className = className;
    return e;
  }

  function status(text, done, total) {
    $('status').textContent = text;
    const bar = $('progress');
    bar.hidden = total === undefined;
    if (total) bar.value = done / total;
  }

  function busy(on) {
    for (const id of ['folder', 'file', 'kit-zip', 'kit-img']) $(id).disabled = on;
  }

  function show(result) {
    $('result').hidden = false;
    $('report').textContent = result.stdout;
    $('trace').textContent = '';
    $('calls').open = false;
    trace = null;
    $('warnings').replaceChildren();
    $('groups').replaceChildren();
    const refused = $('refused');
    refused.hidden = result.code === 0;
    refused.textContent = result.code === 0 ? '' : result.stderr;
    $('actions').hidden = result.code !== 0;
    $('machine').textContent = result.code === 0 ? '' : 'Refused: ' + result.input;
    const grouped = GROUPS.map(() => []);
    const run = [];
    let last = null; // a changed file's group, for its changed lines
    for (const line of result.stdout.split('\n')) {
      if (!line) continue;
      if (line.startsWith('Machine ')) {
        $('machine').textContent = line;
      } else if (line.startsWith('  line ') && last) {
        last.push({detail: line.trim()});
      } else if (WARNINGS.some((w) => w.test(line))) {
        $('warnings').append(element('li', line));
      } else {
        const at = GROUPS.findIndex(([, pattern]) => pattern.test(line));
        last = at >= 0 ? grouped[at] : null;
        (at >= 0 ? grouped[at] : run).push(at >= 0 ? {line} : line);
      }
    }
    GROUPS.forEach(([title], i) => {
      const items = grouped[i];
      if (!items.length) return;
      const section = element('section', undefined, 'group');
      const count = items.filter((item) => item.line).length;
      section.append(element('h2', title + ' (' + count + ')'));
      const list = element('ul');
      for (const item of items) {
        if (item.line) list.append(element('li', item.line));
        else {
          const lines = list.lastChild.querySelector('ul') ||
              list.lastChild.appendChild(element('ul', undefined, 'lines'));
          lines.append(element('li', item.detail));
        }
      }
      section.append(list);
      $('groups').append(section);
    });
    $('run').textContent = run.join(' · ');
    status(result.code === 0 ? 'Done: the report is below.' : 'The capture was refused.');
    $('result').scrollIntoView({block: 'start'});
  }

  function showTrace() {
    const filter = $('filter').value.toLowerCase();
    const lines = (trace || '').split('\n').filter((l) => !filter || l.toLowerCase().includes(filter));
    const most = 20000;
    $('trace').textContent = lines.slice(0, most).join('\n') +
        (lines.length > most ? '\n... and ' + (lines.length - most) + ' more calls' : '');
  }

  function save(name, bytes) {
    const a = element('a');
    a.href = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
    a.download = name;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 60000);
  }

  worker.onmessage = (event) => {
    const m = event.data;
    if (m.type === 'ready') {
      busy(false);
      $('kit-zip').disabled = $('kit-img').disabled = true;
      status('Ready: choose or drop a capture.');
      document.body.dataset.state = 'ready';
    } else if (m.type === 'progress') {
      status(m.stage + (m.total > 1 ? ' (' + m.done + ' of ' + m.total + ' files)' : ''), m.done,
             m.total);
    } else if (m.type === 'report') {
      busy(false);
      show(m);
      document.body.dataset.state = 'report';
    } else if (m.type === 'trace') {
      trace = m.trace;
      showTrace();
    } else if (m.type === 'download') {
      busy(false);
      status('The undo kit is saved as ' + m.name + '.');
      save(m.name, m.bytes);
    } else if (m.type === 'failed') {
      busy(false);
      status('Failed: ' + m.message);
    }
  };

  async function open(kind, name, files) {
    busy(true);
    document.body.dataset.state = 'busy';
    status('Reading the capture', 0, files.length);
    const read = await Promise.all(files.map(async (f) => ({
      path: f.path, folder: !!f.folder, mtime: f.file ? f.file.lastModified : Date.now(),
      bytes: f.file ? new Uint8Array(await f.file.arrayBuffer()) : new Uint8Array(0),
    })));
    worker.postMessage({type: 'open', kind, name, files: read}, read.map((f) => f.bytes.buffer));
  }

  function openFile(file) {
    const zip = /\.zip$/i.test(file.name);
    open(zip ? 'zip' : 'image', file.name, [{path: file.name, file}]);
  }

  $('folder').addEventListener('change', (e) => {
    const files = Array.from(e.target.files);
    if (files.length) {
      open('folder', files[0].webkitRelativePath.split('/')[0],
           files.map((file) => ({path: file.webkitRelativePath, file})));
    }
    e.target.value = '';
  });
  $('file').addEventListener('change', (e) => {
    if (e.target.files.length) openFile(e.target.files[0]);
    e.target.value = '';
  });

  // Dropped folders are walked through their entries, empty folders included.
  async function walk(entry, files) {
    if (entry.isFile) {
      const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
      files.push({path: entry.fullPath.slice(1), file});
    } else {
      files.push({path: entry.fullPath.slice(1) + '/', folder: true});
      const reader = entry.createReader();
      for (;;) {
        const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
        if (!batch.length) break;
        for (const child of batch) await walk(child, files);
      }
    }
  }
  const drop = $('drop');
  drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', async (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    const entry = e.dataTransfer.items.length && e.dataTransfer.items[0].webkitGetAsEntry();
    if (entry && entry.isDirectory) {
      const files = [];
      await walk(entry, files);
      open('folder', entry.name, files.filter((f) => f.file || f.path.split('/').length > 2));
    } else if (e.dataTransfer.files.length) {
      openFile(e.dataTransfer.files[0]);
    }
  });
  drop.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); $('folder').click(); }
  });

  $('kit-zip').addEventListener('click', () => { busy(true); worker.postMessage({type: 'zip'}); });
  $('kit-img').addEventListener('click', () => { busy(true); worker.postMessage({type: 'image'}); });
  $('calls').addEventListener('toggle', () => {
    if ($('calls').open && trace === null) {
      $('trace').textContent = 'Running it again with every call recorded...';
      worker.postMessage({type: 'trace'});
    }
  });
  $('filter').addEventListener('input', showTrace);
  busy(true);
})();
