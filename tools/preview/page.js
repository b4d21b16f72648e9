// The page: takes a capture (folder, zip or floppy image), hands its File
// objects to the simulator's worker and draws what the uninstaller will do
// from the report's JSON. Text from the machine only ever goes in as text.
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const source = new Blob([$('worker-source').textContent], {type: 'text/javascript'});
  const worker = new Worker(URL.createObjectURL(source));
  let trace = null;
  let kitZip = null; // the bytes of the C++'s kit.zip for the report shown

  const below = (n) => (n ? ' (and ' + n + (n === 1 ? ' key' : ' keys') + ' below it)' : '');
  const named = (c) => c.key + '\\' + (c.valueName || '(default)');
  const hex = (n) => '0x' + (n || 0).toString(16);
  const aside = (text) => (text ? ' (' + text + ')' : '');

  // Each change's words, by its kind.
  const WORDS = {
    'removed-device': (c) => c.device + aside(c.description) + below(c.keysBelow),
    'deleted-key': (c) => c.key + below(c.keysBelow),
    'created-key': (c) => c.key,
    'set-value': (c) => 'Set ' + named(c) + ' = ' + (c.valueAfter || '') +
        ('valueBefore' in c ? ' (was ' + c.valueBefore + ')' : ''),
    'deleted-value': (c) => 'Deleted ' + named(c),
    'deleted-file': (c) => c.path,
    'changed-file': (c) => 'Changed ' + c.path + ' (' + c.sizeBefore + ' -> ' + c.sizeAfter +
        ' bytes)',
    'created-file': (c) => 'Created ' + c.path + ' (' + c.sizeAfter + ' bytes)',
    'attributes': (c) => 'Attributes of ' + c.path + ' ' + hex(c.attributesBefore) + ' -> ' +
        hex(c.attributesAfter),
    'message-box': (c) => 'Message box "' + c.caption + '": "' + c.text + '"',
    'started': (c) => 'Started ' + c.path + (c.parameters ? ' ' + c.parameters : ''),
    'removed-product': (c) => 'Removed product ' + c.product + aside(c.description),
    'closed-window': (c) => 'Closed window "' + c.title + '"',
  };

  // The groups the page shows, in its order, and the kinds of change each holds.
  const GROUPS = [
    ['Devices removed', ['removed-device']],
    ['Keys deleted', ['deleted-key']],
    ['Keys created', ['created-key']],
    ['Values set or emptied', ['set-value', 'deleted-value']],
    ['Files deleted', ['deleted-file']],
    ['Files changed', ['changed-file', 'created-file', 'attributes']],
    ['Message, Windows Installer and the companion window',
      ['message-box', 'started', 'removed-product', 'closed-window']],
  ];

  const PREVIEWED = {
    capture: ' is a capture of a real machine: only previewed',
    image: ' is a disk image, which is never written: only previewed',
    zip: ' is a zip archive, which is never written: only previewed',
  };

  function element(tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (className) e.className = className;
    return e;
  }

  function status(text) {
    $('status').textContent = text;
  }

  function busy(on) {
    for (const id of ['folder', 'file', 'kit-zip', 'kit-img']) $(id).disabled = on;
  }

  function machineLine(input, m) {
    return 'Machine ' + input + ': ' + m.platform + ' ' + m.major + '.' + m.minor + ' build ' +
        m.build + (m.servicePack ? ' ' + m.servicePack : '') + ', Windows directory ' +
        m.windowsDirectory;
  }

  function warnings(r) {
    return r.notes.filter((n) => n.warning).map((n) => n.text)
        .concat(r.readOutsideCapture.map((key) => 'Read outside the capture: ' + key +
            ' (the preview may not be complete)'))
        .concat(r.nothingToUndo ? ['The package was not found on this machine: there is ' +
            'nothing to undo'] : []);
  }

  function changeItem(change, index) {
    const item = element('li', WORDS[change.kind](change));
    item.dataset.change = index;
    if (change.lines && change.lines.length) {
      const lines = item.appendChild(element('ul', undefined, 'lines'));
      for (const l of change.lines) {
        lines.append(element('li', 'line ' + l.number + ' was: ' + l.before),
                     element('li', 'line ' + l.number + ' now: ' + l.after));
      }
    }
    return item;
  }

  function groups(changes) {
    const shown = [];
    for (const [title, kinds] of GROUPS) {
      const list = element('ul');
      changes.forEach((c, i) => { if (kinds.includes(c.kind)) list.append(changeItem(c, i)); });
      if (!list.children.length) continue;
      const section = element('section', undefined, 'group');
      section.dataset.kinds = kinds.join(' ');
      section.append(element('h2', title + ' (' + list.children.length + ')'), list);
      shown.push(section);
    }
    return shown.length ? shown : [element('p', 'Nothing changed')];
  }

  function runLine(r) {
    const k = r.kit;
    return [r.preview ? r.input + PREVIEWED[r.preview] : null,
      ...r.notes.filter((n) => !n.warning).map((n) => n.text),
      'Exit code ' + r.exitCode + ' (' + r.windowsCalls + ' Windows calls)',
      k ? 'The undo kit puts back ' + k.keys + ' keys and ' + k.values + ' values and copies back ' +
          k.files + ' files' : null].filter((t) => t).join(' · ');
  }

  function showReport(m) {
    const r = m.report;
    kitZip = m.kit;
    $('machine').textContent = r.machine ? machineLine(r.input, r.machine) : r.input;
    $('warnings').replaceChildren(...warnings(r).map((w) => element('li', w)));
    $('groups').replaceChildren(...groups(r.changes));
    $('run').textContent = runLine(r);
    $('report').textContent = m.json;
  }

  function showRefusal(m) {
    $('machine').textContent = 'Refused: ' + m.input;
    $('refused').textContent = m.refused;
  }

  function show(m) {
    $('result').hidden = false;
    $('trace').textContent = '';
    $('calls').open = false;
    trace = null;
    kitZip = null;
    for (const id of ['warnings', 'groups']) $(id).replaceChildren();
    for (const id of ['refused', 'run', 'report']) $(id).textContent = '';
    const refused = m.refused !== undefined;
    $('refused').hidden = !refused;
    $('actions').hidden = $('full').hidden = $('calls').hidden = refused;
    if (refused) showRefusal(m);
    else showReport(m);
    status(refused ? 'The capture was refused.' : 'Done: the report is below.');
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
      status(m.stage);
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
      // A capture that failed leaves no report, and no kit, of the one before it.
      if (document.body.dataset.state === 'busy') {
        $('result').hidden = true;
        kitZip = null;
      }
      document.body.dataset.state = 'failed';
    }
  };

  // `entries`: {path, file} and {path, folder: true}, paths starting with `name`'s.
  function open(name, entries) {
    busy(true);
    document.body.dataset.state = 'busy';
    status('Handing the capture to the simulator');
    worker.postMessage({type: 'open', name, entries});
  }

  const openFile = (file) => open(file.name, [{path: file.name, file}]);

  $('folder').addEventListener('change', (e) => {
    const files = Array.from(e.target.files);
    if (files.length) {
      open(files[0].webkitRelativePath.split('/')[0],
           files.map((file) => ({path: file.webkitRelativePath, file})));
    }
    e.target.value = '';
  });
  $('file').addEventListener('change', (e) => {
    if (e.target.files.length) openFile(e.target.files[0]);
    e.target.value = '';
  });

  // Dropped folders are walked through their entries, empty folders included.
  async function walk(entry, entries) {
    if (entry.isFile) {
      const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
      entries.push({path: entry.fullPath.slice(1), file});
      return;
    }
    entries.push({path: entry.fullPath.slice(1) + '/', folder: true});
    const reader = entry.createReader();
    for (;;) {
      const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
      if (!batch.length) break;
      for (const child of batch) await walk(child, entries);
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
      const entries = [];
      await walk(entry, entries);
      open(entry.name, entries);
    } else if (e.dataTransfer.files.length) {
      openFile(e.dataTransfer.files[0]);
    }
  });
  drop.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); $('folder').click(); }
  });

  $('kit-zip').addEventListener('click', () => {
    if (kitZip) save('undo-kit.zip', kitZip);
  });
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
