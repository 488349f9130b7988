// The emulator's console: one page whose views read the /admin endpoints of
// the server that serves it. Everything shown comes from applications, so it
// is put into the page as text, never as markup.
'use strict';

(() => {
  const main = document.getElementById('main');
  const statusLine = document.getElementById('status');
  let timer = null;        // the current view's refresh timer
  let generation = 0;      // bumped on each navigation: stale loads are dropped

  // ------------------------------------------------------------ helpers

  // el('td', {class: 'mono'}, 'text', child, ...): an element with attributes
  // (on* keys are listeners) and children (strings become text nodes).
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === undefined || value === null || value === false) continue;
      if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else if (key === 'class') node.className = value;
      else node.setAttribute(key, value === true ? '' : String(value));
    }
    for (const child of children.flat()) {
      if (child === undefined || child === null) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }

  function setStatus(text, isError) {
    statusLine.textContent = text || '';
    statusLine.classList.toggle('error', !!isError);
  }

  async function api(method, path, body) {
    const init = {method, headers: {}};
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const response = await fetch(path, init);
    const text = await response.text();
    let parsed = null;
    try { parsed = text ? JSON.parse(text) : null; } catch (e) { parsed = null; }
    if (!response.ok) {
      const message = parsed && (parsed.error || parsed.message ||
                                 (parsed.result && parsed.result.message));
      const error = new Error(message || (response.status + ' ' + response.statusText));
      error.status = response.status;
      throw error;
    }
    return parsed;
  }

  // A cell's text for any JSON value.
  function display(value) {
    if (value === undefined) return '';
    if (value === null) return 'null';
    if (typeof value !== 'object') return String(value);
    if (value.__type === 'Date' && typeof value.iso === 'string') return value.iso;
    if (value.__type === 'Pointer') return '→ ' + value.className + ' ' + value.objectId;
    if (value.__type === 'File') return 'file ' + (value.name || value.url || '');
    if (value.__type === 'GeoPoint') return '(' + value.latitude + ', ' + value.longitude + ')';
    if (value.__type === 'Relation') return 'relation ' + (value.className || '');
    return JSON.stringify(value);
  }

  function valueCell(value, extraClass, key) {
    const text = display(value);
    return el('td', {class: extraClass, 'data-key': key}, el('span', {class: 'value', title: text}, text));
  }

  function time(ms) {
    if (typeof ms !== 'number') return '';
    const d = new Date(ms);
    const pad = (n, w) => String(n).padStart(w || 2, '0');
    return pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds()) + '.' + pad(d.getMilliseconds(), 3);
  }

  // An access list as tags: "*" read, "<id>" read write, "role:x" write.
  function aclView(acl) {
    if (!acl || typeof acl !== 'object' || Array.isArray(acl)) {
      return el('span', {class: 'tag public', title: 'no ACL: everybody may read and write'}, 'public');
    }
    const entries = Object.entries(acl);
    if (entries.length === 0) return el('span', {class: 'tag', title: 'nobody but the console'}, 'nobody');
    return el('span', {class: 'acl'}, entries.map(([who, rights]) => {
      const can = [];
      if (rights && rights.read === true) can.push('read');
      if (rights && rights.write === true) can.push('write');
      const kind = can.length === 2 ? '' : can[0] || '';
      return el('span', {class: 'tag ' + kind, title: who + ': ' + (can.join(', ') || 'nothing')},
                (who === '*' ? 'everyone' : who) + ' ' + (can.join('+') || '–'));
    }));
  }

  function table(id, headings, rows, emptyText) {
    if (rows.length === 0) return el('div', {class: 'empty', id}, emptyText || 'Nothing here yet.');
    return el('div', {class: 'table-wrap'},
              el('table', {id}, el('thead', {}, el('tr', {}, headings.map((h) => el('th', {}, h)))),
                 el('tbody', {}, rows)));
  }

  function show(title, ...content) {
    main.replaceChildren(el('h2', {}, title), ...content);
  }

  function done(route) {
    document.body.dataset.loaded = route;
  }

  // Calls fn every ms while the view of generation `mine` is shown.
  function refreshEvery(ms, fn, mine) {
    if (mine !== generation) return;
    if (timer) clearInterval(timer);
    timer = setInterval(() => { if (mine === generation && !document.hidden) fn(); }, ms);
  }

  // ------------------------------------------------------------ data

  const classState = {className: null, where: '', order: '', skip: 0, limit: 25, selected: null};

  async function viewClasses(params) {
    const mine = generation;
    const classes = await api('GET', '/admin/classes');
    if (mine !== generation) return;
    if (params[0] !== undefined) {
      const name = decodeURIComponent(params[0]);
      if (name !== classState.className) Object.assign(classState, {className: name, skip: 0, selected: null});
    } else if (!classState.className && classes.length > 0) {
      classState.className = classes[0].className;
    }
    const list = el('ul', {class: 'classes', id: 'class-list'}, classes.map((c) =>
      el('li', {}, el('a', {href: '#/classes/' + encodeURIComponent(c.className),
                            class: c.className === classState.className ? 'active' : '',
                            'data-class': c.className},
                      el('span', {}, c.className), el('span', {class: 'count'}, c.count)))));
    const side = el('div', {class: 'panel'}, el('h3', {}, 'Classes'),
                    classes.length ? list : el('div', {class: 'empty'}, 'No objects stored yet.'),
                    el('button', {id: 'new-class', onclick: () => {
                      const name = prompt('Class name');
                      if (name) {
                        Object.assign(classState, {className: name, skip: 0, where: '', selected: 'new'});
                        const hash = '#/classes/' + encodeURIComponent(name);
                        if (location.hash === hash) route();
                        else location.hash = hash;
                      }
                    }}, 'New class…'));
    const body = el('div', {id: 'objects'});
    main.replaceChildren(el('div', {class: 'layout'}, side, body));
    if (classState.className) {
      objectsFrame(body);
      if (!await loadObjects(body, mine)) return;
    }
    if (mine === generation) done('classes');
  }

  let objectsLoad = 0;     // the latest load of the objects table: an older one finishing later is dropped

  // The class's heading and filter form, made once per visit; the results
  // below them are replaced by each load.
  function objectsFrame(body) {
    const s = classState;
    const whereInput = el('textarea', {id: 'where', rows: 2, placeholder: '{"score": {"$gt": 100}}',
                                       spellcheck: 'false'}, s.where);
    const orderInput = el('input', {id: 'order', value: s.order, placeholder: '-updatedAt'});
    const limitInput = el('select', {id: 'limit'}, [10, 25, 50, 100].map((n) =>
      el('option', {value: n, selected: n === s.limit}, n)));
    const apply = () => {
      s.where = whereInput.value.trim();
      s.order = orderInput.value.trim();
      s.limit = Number(limitInput.value);
      s.skip = 0;
      reloadObjects(body);
    };
    const toolbar = el('form', {class: 'toolbar', id: 'filter', onsubmit: (e) => { e.preventDefault(); apply(); }},
                       el('label', {class: 'grow'}, 'Constraints (where)', whereInput),
                       el('label', {}, 'Order', orderInput),
                       el('label', {}, 'Per page', limitInput),
                       el('button', {type: 'submit', class: 'primary', id: 'apply'}, 'Apply'),
                       el('button', {type: 'button', id: 'new-object',
                                     onclick: () => { s.selected = 'new'; renderEditor(body, null); }}, 'New object'));
    body.replaceChildren(el('h2', {}, s.className), toolbar, el('div', {id: 'results'}), el('div', {id: 'editor-slot'}));
  }

  function reloadObjects(body) {
    return loadObjects(body, generation).then((shown) => { if (shown) done('classes'); }, fail);
  }

  async function loadObjects(body, mine) {
    const s = classState;
    const load = ++objectsLoad;
    const current = () => mine === generation && load === objectsLoad;
    const results = body.querySelector('#results');
    document.body.dataset.loaded = '';
    const problem = (text) => {
      results.replaceChildren(el('div', {class: 'empty bad', id: 'objects-error'}, text));
    };
    const request = {className: s.className, skip: s.skip, limit: s.limit};
    try {
      if (s.where) request.where = JSON.parse(s.where);
      if (s.order) request.order = s.order;
    } catch (e) {
      problem('The constraints are not JSON: ' + e.message);
      return true;
    }
    let found;
    try {
      found = await api('POST', '/admin/find', request);
    } catch (e) {
      if (!current()) return false;
      problem(e.message);
      return true;
    }
    if (!current()) return false;
    const objects = found.results;
    const reserved = new Set(['objectId', 'createdAt', 'updatedAt', 'ACL']);
    const columns = [];
    for (const object of objects) {
      for (const key of Object.keys(object)) {
        if (!reserved.has(key) && !columns.includes(key) && columns.length < 8) columns.push(key);
      }
    }
    const rows = objects.map((object) => {
      const row = el('tr', {class: 'clickable' + (s.selected === object.objectId ? ' selected' : ''),
                            'data-id': object.objectId,
                            onclick: () => {
                              s.selected = object.objectId;
                              for (const r of results.querySelectorAll('tr.selected')) r.classList.remove('selected');
                              row.classList.add('selected');
                              renderEditor(body, object);
                            }},
                     el('td', {class: 'mono', 'data-key': 'objectId'}, object.objectId),
                     columns.map((key) => valueCell(object[key], undefined, key)),
                     el('td', {'data-key': 'ACL'}, aclView(object.ACL)),
                     el('td', {class: 'mono', 'data-key': 'updatedAt'}, object.updatedAt));
      return row;
    });
    const last = Math.min(s.skip + objects.length, found.count);
    const pager = el('div', {class: 'pager', id: 'pager'},
                     el('button', {id: 'prev', disabled: s.skip === 0,
                                   onclick: () => { s.skip = Math.max(0, s.skip - s.limit); reloadObjects(body); }}, '‹ Previous'),
                     el('span', {id: 'range'}, found.count === 0 ? 'no objects' : (s.skip + 1) + '–' + last + ' of ' + found.count),
                     el('button', {id: 'next', disabled: last >= found.count,
                                   onclick: () => { s.skip += s.limit; reloadObjects(body); }}, 'Next ›'));
    results.replaceChildren(table('objects-table', ['objectId', ...columns, 'ACL', 'updatedAt'], rows, 'No object matches.'),
                            pager);
    // The editor follows the selected object, unless it holds changes not
    // saved yet; a new object's editor stays.
    const slot = body.querySelector('#editor-slot');
    const selected = objects.find((o) => o.objectId === s.selected);
    const editor = slot.querySelector('#object-json');
    const unsaved = editor && editor.value !== slot.dataset.shown;
    if (s.selected === 'new') {
      if (!editor || slot.dataset.objectId !== '') renderEditor(body, null);
    } else if (selected) {
      if (!unsaved || slot.dataset.objectId !== selected.objectId) renderEditor(body, selected);
    } else if (!unsaved) {
      slot.replaceChildren();
    }
    return true;
  }

  // The editor of one object (null: a new one). Saving sends the fields
  // that changed, and a Delete operation for each field taken out, through
  // the service's own write path.
  function renderEditor(body, object) {
    const slot = body.querySelector('#editor-slot');
    const s = classState;
    const automatic = ['objectId', 'createdAt', 'updatedAt'];
    const fields = Object.create(null);
    if (object) {
      for (const [key, value] of Object.entries(object)) {
        if (!automatic.includes(key)) fields[key] = value;
      }
    }
    const shown = JSON.stringify(fields, null, 2);
    slot.dataset.shown = shown;
    slot.dataset.objectId = object ? object.objectId : '';
    const text = el('textarea', {id: 'object-json', rows: 12, spellcheck: 'false'}, shown);
    const message = el('span', {id: 'editor-message'});
    const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
    let busy = false;
    const buttons = [];
    const run = async (work) => {
      if (busy) return;
      busy = true;
      for (const b of buttons) b.disabled = true;
      message.textContent = '';
      try {
        await work();
      } catch (e) {
        message.className = 'bad';
        message.textContent = e.message;
      } finally {
        busy = false;
        for (const b of buttons) b.disabled = false;
      }
    };
    // The fields that changed; each one taken out becomes a Delete, and so
    // does each sign-in platform taken out of "authData".
    const changesOf = (edited) => {
      const changes = Object.create(null);
      for (const [key, value] of Object.entries(edited)) {
        if (automatic.includes(key) || same(value, fields[key])) continue;
        const before = fields[key];
        if (key === 'authData' && value && typeof value === 'object' && !Array.isArray(value) &&
            before && typeof before === 'object' && !Array.isArray(before)) {
          const platforms = Object.assign(Object.create(null), value);
          for (const platform of Object.keys(before)) {
            if (!Object.hasOwn(value, platform)) platforms[platform] = null;
          }
          changes[key] = platforms;
        } else {
          changes[key] = value;
        }
      }
      for (const key of Object.keys(fields)) {
        if (!Object.hasOwn(edited, key)) changes[key] = {__op: 'Delete'};
      }
      return changes;
    };
    const save = () => run(async () => {
      let edited;
      try {
        edited = JSON.parse(text.value);
        if (!edited || typeof edited !== 'object' || Array.isArray(edited)) throw new Error('expected a JSON object');
      } catch (e) {
        throw new Error('Not a JSON object: ' + e.message);
      }
      const request = {className: s.className, data: changesOf(edited)};
      if (object) request.objectId = object.objectId;
      const reply = await api('POST', '/admin/objects/save', request);
      if (!object && reply && reply.objectId) s.selected = reply.objectId;
      setStatus((object ? 'Saved ' : 'Created ') + s.className + ' ' + (object ? object.objectId : reply.objectId));
      slot.dataset.shown = text.value;  // saved: the reload may replace it
      slot.dataset.objectId = object ? object.objectId : s.selected;
      await reloadObjects(body);
    });
    const remove = () => run(async () => {
      if (!confirm('Delete ' + s.className + ' ' + object.objectId + '?')) return;
      await api('POST', '/admin/objects/delete', {className: s.className, objectId: object.objectId});
      s.selected = null;
      setStatus('Deleted ' + s.className + ' ' + object.objectId);
      slot.replaceChildren();
      await reloadObjects(body);
    });
    slot.replaceChildren(el('div', {class: 'panel editor', id: 'editor'},
      el('h3', {}, object ? 'Object ' + object.objectId : 'New ' + s.className + ' object'),
      object ? el('div', {}, 'Access: ', aclView(object.ACL), ' · created ', object.createdAt) : null,
      text,
      el('div', {class: 'buttons'},
         buttons[0] = el('button', {class: 'primary', id: 'save', onclick: save}, object ? 'Save changes' : 'Create'),
         object ? (buttons[1] = el('button', {class: 'danger', id: 'delete', onclick: remove}, 'Delete')) : null,
         el('button', {onclick: () => { s.selected = null; slot.replaceChildren(); }}, 'Close'),
         message)));
  }

  // ------------------------------------------------------------ the other views

  async function viewUsers() {
    const mine = generation;
    const [users, roles] = await Promise.all([api('GET', '/admin/users?limit=200'), api('GET', '/admin/roles')]);
    if (mine !== generation) return;
    const userRows = users.results.map((u) => el('tr', {'data-id': u.objectId},
      el('td', {class: 'mono'}, u.objectId), valueCell(u.username), valueCell(u.email),
      el('td', {}, u.emailVerified === true ? el('span', {class: 'ok'}, 'yes') : 'no'),
      valueCell(u.mobilePhoneNumber),
      el('td', {}, u.roles.map((r) => el('span', {class: 'tag'}, r))),
      el('td', {}, u.sessions), el('td', {}, aclView(u.ACL)), el('td', {class: 'mono'}, u.createdAt)));
    const roleRows = roles.map((r) => el('tr', {'data-id': r.objectId},
      valueCell(r.name), el('td', {class: 'mono'}, r.objectId),
      el('td', {}, r.users.map((u) => el('span', {class: 'tag', title: u.objectId}, u.username || u.objectId)),
         r.moreUsers > 0 ? el('span', {class: 'count'}, ' and ' + r.moreUsers + ' more') : null),
      el('td', {}, r.roles.map((name) => el('span', {class: 'tag'}, name)),
         r.moreRoles > 0 ? el('span', {class: 'count'}, ' and ' + r.moreRoles + ' more') : null),
      el('td', {}, aclView(r.ACL))));
    show('Users and roles',
         el('h3', {}, 'Users (' + users.count + ')'),
         table('users-table', ['objectId', 'username', 'email', 'verified', 'phone', 'roles', 'sessions', 'ACL', 'createdAt'],
               userRows, 'No users have signed up.'),
         el('h3', {}, 'Roles (' + roles.length + ')'),
         table('roles-table', ['name', 'objectId', 'users', 'roles in it', 'ACL'], roleRows, 'No roles.'));
    done('users');
  }

  async function viewOutbox() {
    const mine = generation;
    const entries = await api('GET', '/admin/outbox');
    if (mine !== generation) return;
    const rows = entries.slice().reverse().map((m) => el('tr', {},
      el('td', {}, el('span', {class: 'tag'}, m.kind)), valueCell(m.to),
      el('td', {}, m.link && safeHref(m.link) ? el('a', {href: safeHref(m.link), target: '_blank', rel: 'noopener noreferrer'}, m.link) : (m.link || '')),
      el('td', {class: 'mono'}, m.code || ''), el('td', {class: 'mono'}, m.createdAt)));
    show('Mail and text outbox',
         el('div', {class: 'toolbar'},
            el('button', {id: 'clear-outbox', onclick: () => api('DELETE', '/admin/outbox').then((reply) => {
              setStatus('Removed ' + (reply && reply.deleted) + ' messages');
              route();
            }, fail)}, 'Empty the outbox')),
         table('outbox-table', ['kind', 'to', 'link', 'code', 'sent'], rows, 'Nothing was sent.'));
    done('outbox');
  }

  // A link from stored data, only when it is plain http(s).
  function safeHref(url) {
    try {
      const parsed = new URL(url, location.href);
      return parsed.protocol === 'http:' || parsed.protocol === 'https:' ? parsed.href : null;
    } catch (e) {
      return null;
    }
  }

  function fileUrl(url) {
    if (typeof url !== 'string') return null;
    if (url.startsWith('files/')) return '/' + url;
    if (url.startsWith('/files/')) return url;
    try {
      const parsed = new URL(url, location.href);
      return parsed.origin === location.origin ? parsed.pathname : null;
    } catch (e) {
      return null;
    }
  }

  async function viewFiles() {
    const mine = generation;
    const files = await api('GET', '/admin/files');
    if (mine !== generation) return;
    const cards = files.slice().reverse().map((f) => {
      const url = fileUrl(f.url);
      const image = url && /^image\//.test(f.contentType || '');
      return el('div', {class: 'file', 'data-name': f.name},
        el('div', {class: 'preview'}, image ? el('img', {src: url, alt: f.filename || f.name, loading: 'lazy'})
                                            : (f.contentType || 'file')),
        el('div', {class: 'meta'},
           el('div', {}, el('strong', {}, f.filename || f.name)),
           el('div', {class: 'count'}, (f.group ? f.group + ' · ' : '') + f.size + ' bytes · ' + (f.contentType || '')),
           url ? el('a', {href: url, target: '_blank', rel: 'noopener noreferrer'}, 'open') : null));
    });
    show('Stored files (' + files.length + ')',
         cards.length ? el('div', {class: 'grid', id: 'files-grid'}, cards) : el('div', {class: 'empty', id: 'files-grid'}, 'No files stored.'));
    done('files');
  }

  async function viewPush() {
    const mine = generation;
    const deliveries = await api('GET', '/admin/pushes');
    if (mine !== generation) return;
    const rows = deliveries.slice().reverse().map((d) => {
      const payload = d.payload && typeof d.payload === 'object' ? d.payload : {};
      return el('tr', {},
        el('td', {class: 'mono'}, d.pushId), el('td', {class: 'mono'}, d.installationId), valueCell(d.deviceToken, 'mono'),
        valueCell(payload.alert !== undefined ? payload.alert : payload), valueCell(d.channels),
        el('td', {}, el('span', {class: 'tag'}, d.status)), el('td', {class: 'mono'}, d.dueAt),
        el('td', {class: 'mono'}, d.expiresAt || ''));
    });
    show('Push delivery log (' + deliveries.length + ')',
         el('div', {class: 'toolbar'},
            el('button', {id: 'clear-pushes', onclick: () => api('DELETE', '/admin/pushes').then((reply) => {
              setStatus('Removed ' + (reply && reply.deleted) + ' deliveries');
              route();
            }, fail)}, 'Empty the log')),
         table('push-table', ['push', 'installation', 'device token', 'alert', 'channels', 'status', 'due', 'expires'],
               rows, 'No push was sent.'));
    done('push');
  }

  async function viewFunctions() {
    const mine = generation;
    const info = await api('GET', '/admin/functions');
    if (mine !== generation) return;
    const outcome = (run) => el('span', {class: run.outcome === 'answered' ? 'ok' : 'bad'}, run.outcome + ' (' + run.status + ')');
    const rows = info.functions.map((f) => {
      const run = f.lastRun;
      return el('tr', {'data-name': f.name},
        el('td', {class: 'mono'}, f.name), el('td', {}, f.builtin ? 'built-in' : 'folder'),
        el('td', {class: 'mono'}, run ? time(run.atMs) : 'never run'),
        el('td', {}, run ? outcome(run) : ''), el('td', {}, run ? run.ms + ' ms' : ''),
        valueCell(run ? run.input : '', 'mono'), valueCell(run ? run.output : '', 'mono'));
    });
    const runRows = info.runs.map((run) => el('tr', {},
      el('td', {class: 'mono'}, time(run.atMs)), el('td', {class: 'mono'}, run.name), el('td', {}, outcome(run)),
      el('td', {}, run.ms + ' ms'), valueCell(run.input, 'mono'), valueCell(run.output, 'mono')));
    show('Cloud functions',
         table('functions-table', ['function', 'kind', 'last run', 'outcome', 'took', 'parameters', 'answer'], rows),
         el('h3', {}, 'Recent calls'),
         table('runs-table', ['at', 'function', 'outcome', 'took', 'parameters', 'answer'], runRows, 'No calls yet.'));
    done('functions');
  }

  async function viewRealtime() {
    const mine = generation;
    let state;
    try {
      state = await api('GET', '/admin/realtime');
    } catch (e) {
      if (mine !== generation) return;
      if (e.status !== 404) throw e;
      show('Realtime', el('div', {class: 'empty', id: 'realtime-off'},
                          'The realtime host is not running (the emulator was started with --no-realtime).'));
      done('realtime');
      return;
    }
    if (mine !== generation) return;
    const bySession = {};
    for (const sub of state.subscriptions) (bySession[sub.sid] = bySession[sub.sid] || []).push(sub);
    const sessionRows = state.sessions.map((sid) => el('tr', {'data-sid': sid},
      el('td', {class: 'mono'}, sid), el('td', {}, (bySession[sid] || []).length)));
    const subRows = state.subscriptions.map((sub) => el('tr', {},
      el('td', {class: 'mono'}, sub.sid), el('td', {class: 'mono'}, sub.endpoint), el('td', {}, sub.action),
      valueCell(sub.tableName), valueCell(sub.objectId || '', 'mono')));
    show('Realtime',
         el('h3', {}, 'Sessions (' + state.sessions.length + ')'),
         table('sessions-table', ['session', 'subscriptions'], sessionRows, 'No client is connected.'),
         el('h3', {}, 'Subscriptions (' + state.subscriptions.length + ')'),
         table('subscriptions-table', ['session', 'namespace', 'action', 'class', 'object'], subRows, 'No subscriptions.'));
    done('realtime');
  }

  // The live request log: polls for the entries after the last one seen.
  async function viewRequests() {
    const mine = generation;
    let last = 0;
    let paused = false;
    const rows = el('tbody', {});
    const filter = el('input', {id: 'request-filter', placeholder: 'filter, e.g. /7/find', class: 'grow'});
    const dot = el('span', {class: 'live'});
    const pause = el('button', {id: 'pause', onclick: () => {
      paused = !paused;
      pause.textContent = paused ? 'Resume' : 'Pause';
      dot.classList.toggle('paused', paused);
    }}, 'Pause');
    const applyFilter = () => {
      const needle = filter.value.trim();
      for (const row of rows.children) row.hidden = needle !== '' && !row.dataset.text.includes(needle);
    };
    filter.addEventListener('input', applyFilter);
    main.replaceChildren(el('h2', {}, dot, 'Requests'),
                         el('div', {class: 'toolbar'}, filter, pause),
                         el('div', {class: 'table-wrap'}, el('table', {id: 'requests-table'},
                            el('thead', {}, el('tr', {}, ['time', 'method', 'path', 'status', 'code', 'took', 'peer'].map((h) => el('th', {}, h)))),
                            rows)));
    let polling = false;
    const poll = async () => {
      if (paused || polling) return;
      polling = true;
      let log;
      try {
        log = await api('GET', '/admin/requests?after=' + last);
      } finally {
        polling = false;
      }
      if (mine !== generation) return;
      // A restarted emulator counts from 1 again.
      if (log.last < last) { rows.replaceChildren(); last = 0; }
      for (const entry of log.entries) {
        if (entry.seq <= last) continue;
        last = entry.seq;
        const good = entry.status >= 200 && entry.status < 400 && (entry.code === 200 || entry.code === entry.status);
        const row = el('tr', {'data-seq': entry.seq},
          el('td', {class: 'mono'}, time(entry.atMs)), el('td', {}, entry.method), valueCell(entry.target, 'mono'),
          el('td', {class: good ? 'ok' : 'bad'}, entry.status === 0 ? 'dropped' : entry.status),
          el('td', {}, entry.code + (entry.fault ? ' (fault: ' + entry.fault + ')' : '')),
          el('td', {}, entry.micros < 1000 ? entry.micros + ' µs' : (entry.micros / 1000).toFixed(1) + ' ms'), el('td', {class: 'mono'}, entry.remote || 'in-process'));
        row.dataset.text = entry.method + ' ' + entry.target + ' ' + entry.status;
        rows.prepend(row);
      }
      last = Math.max(last, log.last);
      while (rows.children.length > 500) rows.lastChild.remove();
      applyFilter();
      done('requests');
    };
    refreshEvery(1000, () => poll().catch(fail), mine);
    await poll();
  }

  // ------------------------------------------------------------ routing

  const views = {classes: viewClasses, users: viewUsers, outbox: viewOutbox, files: viewFiles, push: viewPush,
                 functions: viewFunctions, realtime: viewRealtime, requests: viewRequests};
  const autoRefresh = {realtime: 2000, functions: 3000};

  function fail(error) {
    setStatus('Error: ' + (error && error.message ? error.message : error), true);
    document.body.dataset.loaded = 'error';
  }

  function route() {
    generation += 1;
    if (timer) clearInterval(timer);
    timer = null;
    const parts = (location.hash.replace(/^#\/?/, '') || 'classes').split('/');
    const name = views[parts[0]] ? parts[0] : 'classes';
    for (const link of document.querySelectorAll('#nav a')) link.classList.toggle('active', link.dataset.route === name);
    document.body.dataset.loaded = '';
    setStatus('');
    main.replaceChildren(el('div', {class: 'empty'}, 'Loading…'));
    const mine = generation;
    const failed = (e) => {
      if (mine !== generation) return;
      main.replaceChildren(el('div', {class: 'empty bad', id: 'view-error'}, 'Could not load this page: ' + e.message));
      fail(e);
    };
    views[name](parts.slice(1)).catch(failed);
    if (autoRefresh[name]) {
      let refreshing = false;
      refreshEvery(autoRefresh[name], () => {
        if (refreshing) return;
        refreshing = true;
        views[name](parts.slice(1)).catch(failed).finally(() => { refreshing = false; });
      }, mine);
    }
  }

  window.addEventListener('hashchange', route);
  route();
})();
