// The simulator's worker: the page posts the File objects of a capture (a
// folder's files, or one zip or image), the worker mounts them as they are
// (WORKERFS reads a file's bytes only when the C++ reads them, after it has
// checked the input's limits) and runs uninstall-sim on them as the command
// line would. uninstall-sim.js comes before this in the worker's script.
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

let input = null; // the name uninstall-sim is given, in /input

function own(object, key) {
  return Object.prototype.hasOwnProperty.call(object, key);
}

// Replaces /input with the posted entries: {path, file} for a file, {path, folder: true} for
// a folder that may be empty. Paths are relative ("win98/registry.reg").
function mountInput(FS, entries) {
  FS.chdir('/');
  if (FS.analyzePath('/input').exists) FS.unmount('/input');
  else FS.mkdir('/input');
  const WORKERFS = FS.filesystems.WORKERFS;
  const files = entries.filter((e) => e.file);
  FS.mount(WORKERFS, {blobs: files.map((e) => ({name: e.path, data: e.file}))}, '/input');
  for (const e of files) FS.utime('/input/' + e.path, e.file.lastModified, e.file.lastModified);
  for (const e of entries.filter((e) => e.folder)) {
    let node = FS.lookupPath('/input').node;
    for (const name of e.path.split('/').filter(Boolean)) {
      node = own(node.contents, name) ? node.contents[name]
          : WORKERFS.createNode(node, name, WORKERFS.DIR_MODE, 0);
    }
  }
  FS.chdir('/input');
}

function emptyOut(FS) {
  if (!FS.analyzePath('/out').exists) FS.mkdir('/out');
  for (const name of FS.readdir('/out')) {
    if (name !== '.' && name !== '..') FS.unlink('/out/' + name);
  }
}

// uninstall-sim with `options` on the input, `--` first so that a name such as
// "--version" is taken for the machine.
function run(options) {
  out = [];
  err = [];
  const code = sim.callMain([...options, '--', input]);
  return {code, stdout: out.join('\n') + (out.length ? '\n' : ''), stderr: err.join('\n')};
}

// A run that wrote its kit as `kit`: its report, parsed, or an error saying why not. Only
// exit code 0 with a JSON document is a report; 2 is a refusal, with stderr its message.
function runWithKit(FS, kit) {
  emptyOut(FS);
  const result = run(['--json', '--undo', kit]);
  if (result.code === 2) return {refused: result.stderr};
  let report = null;
  try {
    report = JSON.parse(result.stdout);
  } catch (e) {
    // fall through: not a report
  }
  if (result.code !== 0 || !report || typeof report.version !== 'number' ||
      !FS.analyzePath(kit).exists) {
    throw new Error('uninstall-sim ended with exit code ' + result.code +
                    (result.stderr ? ': ' + result.stderr : ' and no report'));
  }
  return {report, json: result.stdout, kit: FS.readFile(kit)};
}

const handlers = {
  open(FS, m) {
    mountInput(FS, m.entries);
    input = m.name;
    postMessage({type: 'progress', stage: 'Running the uninstaller'});
    const result = runWithKit(FS, '/out/kit.zip');
    const transfer = result.kit ? [result.kit.buffer] : [];
    postMessage({type: 'report', input, ...result}, transfer);
  },
  image(FS) {
    const result = runWithKit(FS, '/out/kit.img');
    if (result.refused) throw new Error(result.refused);
    postMessage({type: 'download', name: 'undo-kit.img', bytes: result.kit}, [result.kit.buffer]);
  },
  trace() {
    const result = run(['--dry-run', '--trace']);
    postMessage({type: 'trace', trace: result.stderr});
  },
};

onmessage = async (event) => {
  await ready;
  try {
    handlers[event.data.type](sim.FS, event.data);
  } catch (e) {
    postMessage({type: 'failed', message: String(e && e.message || e)});
  }
};
