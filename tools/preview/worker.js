// The simulator's worker: the page posts a capture, the worker puts it into a
// file system in memory and runs uninstall-sim on it as the command line
// would, then posts back its report, its call trace or its undo kit. fflate
// and uninstall-sim.js come before this in the worker's script.
'use strict';

// Without fetch, emscripten decodes the wasm that uninstall-sim.js holds instead of
// fetching it as a data: URL, which the page's policy refuses: nothing here loads anything.
self.fetch = undefined;

let sim = null;
let out = [];
let err = [];
const ready = createUninstallSim({print: (t) => out.push(t), printErr: (t) => err.push(t)})
    .then((m) => {
      sim = m;
      postMessage({type: 'ready'});
    });

function progress(stage, done, total) {
  postMessage({type: 'progress', stage, done, total});
}

function removeTree(FS, path) {
  if (!FS.analyzePath(path).exists) return;
  if (FS.isDir(FS.stat(path).mode)) {
    for (const name of FS.readdir(path)) {
      if (name !== '.' && name !== '..') removeTree(FS, path + '/' + name);
    }
    FS.rmdir(path);
  } else {
    FS.unlink(path);
  }
}

function makeFolders(FS, path) {
  let at = '';
  for (const part of path.split('/')) {
    at += (at ? '/' : '') + part;
    if (!FS.analyzePath(at).exists) FS.mkdir(at);
  }
}

// The DOS dates of a zip's entries, from its central directory: fflate gives
// names and bytes only. Local time, as unzip takes it.
function zipDates(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const dates = {};
  let end = bytes.length - 22;
  while (end >= 0 && view.getUint32(end, true) !== 0x06054b50) end--;
  if (end < 0) return dates;
  let at = view.getUint32(end + 16, true);
  const count = view.getUint16(end + 10, true);
  const decoder = new TextDecoder();
  for (let i = 0; i < count && at + 46 <= bytes.length; i++) {
    if (view.getUint32(at, true) !== 0x02014b50) break;
    const time = view.getUint16(at + 12, true);
    const date = view.getUint16(at + 14, true);
    const nameLength = view.getUint16(at + 28, true);
    const name = decoder.decode(bytes.subarray(at + 46, at + 46 + nameLength));
    dates[name] = new Date(1980 + (date >> 9), ((date >> 5) & 15) - 1, date & 31, time >> 11,
                           (time >> 5) & 63, (time & 31) * 2).getTime();
    at += 46 + nameLength + view.getUint16(at + 30, true) + view.getUint16(at + 32, true);
  }
  return dates;
}

// A zipped capture as files below `name`, or below its one top folder.
function unzipCapture(name, bytes) {
  const dates = zipDates(bytes);
  const entries = fflate.unzipSync(bytes);
  const names = Object.keys(entries);
  const tops = new Set(names.map((n) => n.split('/')[0]));
  const inside = tops.size === 1 && names.every((n) => n.includes('/'));
  const base = name.replace(/\.zip$/i, '');
  return names.map((n) => ({
    path: inside ? n : base + '/' + n,
    folder: n.endsWith('/'),
    bytes: entries[n],
    mtime: dates[n] || Date.now(),
  }));
}

function putFiles(FS, files) {
  files.forEach((f, i) => {
    const path = f.path.replace(/\/+$/, '');
    if (f.folder) {
      makeFolders(FS, path);
    } else {
      makeFolders(FS, path.split('/').slice(0, -1).join('/'));
      FS.writeFile(path, f.bytes);
      FS.utime(path, f.mtime, f.mtime);
    }
    if (i % 64 === 0) progress('Reading the capture', i, files.length);
  });
}

function readTree(FS, dir, files = []) {
  for (const name of FS.readdir(dir).sort()) {
    if (name === '.' || name === '..') continue;
    const path = dir + '/' + name;
    const stat = FS.stat(path);
    if (FS.isDir(stat.mode)) {
      readTree(FS, path, files);
    } else {
      files.push({path, bytes: FS.readFile(path), mtime: stat.mtime.getTime()});
    }
  }
  return files;
}

function run(args) {
  out = [];
  err = [];
  const code = sim.callMain(args);
  return {code, stdout: out.join('\n') + (out.length ? '\n' : ''), stderr: err.join('\n')};
}

let input = null; // the name uninstall-sim is given: a folder or an image, in /run

onmessage = async (event) => {
  await ready;
  const FS = sim.FS;
  const m = event.data;
  try {
    if (m.type === 'open') {
      FS.chdir('/');
      removeTree(FS, '/run');
      FS.mkdir('/run');
      FS.chdir('/run');
      let files = m.files;
      if (m.kind === 'zip') {
        progress('Unpacking the zip', 0, 1);
        files = unzipCapture(m.name, m.files[0].bytes);
      }
      putFiles(FS, files);
      input = m.kind === 'folder' ? files[0].path.split('/')[0]
            : m.kind === 'zip' ? files[0].path.split('/')[0] : m.name;
      progress('Running the uninstaller', 0, 1);
      const result = run(['--undo', 'kit', input]);
      postMessage({type: 'report', input, ...result});
    } else if (m.type === 'trace') {
      removeTree(FS, 'kit');
      const result = run(['--trace', '--undo', 'kit', input]);
      postMessage({type: 'trace', trace: result.stderr});
    } else if (m.type === 'zip') {
      const entries = {};
      for (const f of readTree(FS, 'kit')) {
        entries[f.path.slice('kit/'.length)] = [f.bytes, {mtime: new Date(f.mtime)}];
      }
      const bytes = fflate.zipSync(entries, {level: 6});
      postMessage({type: 'download', name: 'undo-kit.zip', bytes}, [bytes.buffer]);
    } else if (m.type === 'image') {
      removeTree(FS, 'kit.img');
      const result = run(['--undo', 'kit.img', input]);
      if (result.code !== 0) throw new Error(result.stderr);
      const bytes = FS.readFile('kit.img');
      postMessage({type: 'download', name: 'undo-kit.img', bytes}, [bytes.buffer]);
    }
  } catch (e) {
    postMessage({type: 'failed', message: String(e && e.message || e)});
  }
};
