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

  // Whether a refresh brought the same data the view shows already: it is
  // then left as it is (images are not loaded again, nothing flickers).
  let shownData = null;
  function unchanged(...data) {
    const text = JSON.stringify(data);
    if (text === shownData) return true;
    shownData = text;
    return false;
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

  const userPage = {skip: 0, limit: 50};

  async function viewUsers() {
    const mine = generation;
    const [users, roles] = await Promise.all([
      api('GET', '/admin/users?skip=' + userPage.skip + '&limit=' + userPage.limit), api('GET', '/admin/roles')]);
    if (mine !== generation) return;
    if (users.results.length === 0 && userPage.skip > 0 && users.count > 0) {
      // Fewer users than before: back to the last page there is.
      userPage.skip = Math.max(0, Math.floor((users.count - 1) / userPage.limit) * userPage.limit);
      return viewUsers();
    }
    if (unchanged(users, roles, userPage)) return done('users');
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
    const again = () => viewUsers().catch(fail);
    const last = Math.min(userPage.skip + users.results.length, users.count);
    const perPage = el('select', {id: 'users-limit', onchange: () => {
      userPage.limit = Number(perPage.value);
      userPage.skip = 0;
      again();
    }}, [10, 25, 50, 100, 200].map((n) => el('option', {value: n, selected: n === userPage.limit}, n)));
    const pager = el('div', {class: 'pager', id: 'users-pager'},
                     el('button', {id: 'users-prev', disabled: userPage.skip === 0,
                                   onclick: () => { userPage.skip = Math.max(0, userPage.skip - userPage.limit); again(); }}, '‹ Previous'),
                     el('span', {id: 'users-range'}, users.count === 0 ? 'no users' : (userPage.skip + 1) + '–' + last + ' of ' + users.count),
                     el('button', {id: 'users-next', disabled: last >= users.count,
                                   onclick: () => { userPage.skip += userPage.limit; again(); }}, 'Next ›'),
                     el('label', {class: 'count'}, 'per page ', perPage));
    show('Users and roles',
         el('h3', {}, 'Users (' + users.count + ')'),
         table('users-table', ['objectId', 'username', 'email', 'verified', 'phone', 'roles', 'sessions', 'ACL', 'createdAt'],
               userRows, 'No users have signed up.'),
         pager,
         el('h3', {}, 'Roles (' + roles.length + ')'),
         table('roles-table', ['name', 'objectId', 'users', 'roles in it', 'ACL'], roleRows, 'No roles.'));
    done('users');
  }

  async function viewOutbox() {
    const mine = generation;
    const entries = await api('GET', '/admin/outbox');
    if (mine !== generation) return;
    if (unchanged(entries)) return done('outbox');
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
    if (unchanged(files)) return done('files');
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
    if (unchanged(deliveries)) return done('push');
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

  const openRuns = new Set();  // the runs whose detail is shown: "atMs name ms"

  // The functions and their recent runs (refreshed), over a form that calls
  // one (made once per visit, so a refresh keeps what is typed).
  async function viewFunctions() {
    const mine = generation;
    const info = await api('GET', '/admin/functions');
    if (mine !== generation) return;
    if (!main.querySelector('#call-form')) functionsFrame(info);
    if (unchanged(info)) return done('functions');
    const names = main.querySelector('#call-name');
    const chosen = names.value;
    names.replaceChildren(...info.functions.map((f) => el('option', {value: f.name, selected: f.name === chosen}, f.name)));
    const outcome = (run) => el('span', {class: run.outcome === 'answered' ? 'ok' : 'bad'}, run.outcome + ' (' + run.status + ')');
    const rows = info.functions.map((f) => {
      const run = f.lastRun;
      return el('tr', {'data-name': f.name},
        el('td', {class: 'mono'}, f.name), el('td', {}, f.builtin ? 'built-in' : 'folder'),
        el('td', {class: 'mono'}, run ? time(run.atMs) : 'never run'),
        el('td', {}, run ? outcome(run) : ''), el('td', {}, run ? run.ms + ' ms' : ''),
        valueCell(run ? run.input : '', 'mono'), valueCell(run ? run.output : '', 'mono'));
    });
    const block = (title, key, text) => el('div', {class: 'block'}, el('div', {class: 'count'}, title),
                                           el('pre', {class: 'mono', 'data-key': key}, text === '' ? '–' : text));
    const runRows = info.runs.flatMap((run) => {
      const key = run.atMs + ' ' + run.name + ' ' + run.ms;
      const detail = el('tr', {class: 'run-detail', hidden: !openRuns.has(key)},
        el('td', {colspan: 6}, block('parameters', 'input', run.input), block('answer', 'output', run.output),
           block('standard error', 'errors', run.errors || '')));
      const row = el('tr', {class: 'clickable run', onclick: () => {
        detail.hidden = !detail.hidden;
        if (detail.hidden) openRuns.delete(key); else openRuns.add(key);
      }},
        el('td', {class: 'mono'}, time(run.atMs)), el('td', {class: 'mono'}, run.name), el('td', {}, outcome(run)),
        el('td', {}, run.ms + ' ms'), valueCell(run.input, 'mono'), valueCell(run.output, 'mono'));
      return [row, detail];
    });
    main.querySelector('#functions-slot').replaceChildren(
         table('functions-table', ['function', 'kind', 'last run', 'outcome', 'took', 'parameters', 'answer'], rows));
    main.querySelector('#runs-slot').replaceChildren(
         table('runs-table', ['at', 'function', 'outcome', 'took', 'parameters', 'answer'], runRows, 'No calls yet.'));
    done('functions');
  }

  function functionsFrame(info) {
    const names = el('select', {id: 'call-name'});
    const params = el('textarea', {id: 'call-parameters', rows: 3, spellcheck: 'false', placeholder: '{"name": "world"}'}, '{}');
    const answer = el('div', {id: 'call-answer'});
    const button = el('button', {type: 'submit', class: 'primary', id: 'call'}, 'Call');
    const call = async () => {
      let parameters;
      try {
        parameters = params.value.trim() ? JSON.parse(params.value) : {};
        if (!parameters || typeof parameters !== 'object' || Array.isArray(parameters)) throw new Error('expected a JSON object');
      } catch (e) {
        answer.replaceChildren(el('div', {class: 'bad', id: 'call-status'}, 'The parameters are not a JSON object: ' + e.message));
        return;
      }
      button.disabled = true;
      answer.replaceChildren(el('div', {class: 'count'}, 'Calling ' + names.value + '…'));
      try {
        const response = await fetch('/admin/functions/call', {method: 'POST', headers: {'Content-Type': 'application/json'},
                                                               body: JSON.stringify({name: names.value, parameters})});
        const text = await response.text();
        let shown = text;
        try { shown = JSON.stringify(JSON.parse(text), null, 2); } catch (e) { shown = text; }
        answer.replaceChildren(el('div', {class: response.ok ? 'ok' : 'bad', id: 'call-status'}, 'HTTP ' + response.status),
                               el('pre', {class: 'mono', id: 'call-output'}, shown));
      } catch (e) {
        answer.replaceChildren(el('div', {class: 'bad', id: 'call-status'}, e.message));
      } finally {
        button.disabled = false;
      }
    };
    show('Cloud functions',
         el('form', {class: 'panel', id: 'call-form', onsubmit: (e) => { e.preventDefault(); call(); }},
            el('div', {class: 'toolbar'}, el('label', {}, 'Function', names),
               el('label', {class: 'grow'}, 'Parameters (JSON)', params), button),
            answer),
         el('div', {id: 'functions-slot'}),
         el('h3', {}, 'Recent calls (click one for all of it)'),
         el('div', {id: 'runs-slot'}));
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

  // Injected faults: the next requests of a path fail in a chosen way.
  async function viewFaults() {
    const mine = generation;
    const faults = await api('GET', '/admin/faults');
    if (mine !== generation) return;
    const list = el('div', {id: 'faults-slot'});
    const render = (items) => list.replaceChildren(table('faults-table', ['path', 'mode', 'requests left', 'code', 'delay', ''],
      items.map((f) => el('tr', {'data-path': f.path},
        el('td', {class: 'mono'}, f.path), el('td', {}, el('span', {class: 'tag'}, f.mode)),
        el('td', {}, f.count === 0 ? 'every one' : f.count),
        el('td', {}, f.mode === 'error' ? f.code : ''), el('td', {}, f.mode === 'delay' ? f.delayMs + ' ms' : ''),
        el('td', {}, el('button', {class: 'danger', onclick: () => clearFaults(f.path)}, 'Clear this path')))),
      'No faults are waiting: every request is handled normally.'));
    const reload = async () => render(await api('GET', '/admin/faults'));
    const clearFaults = (path) => api('DELETE', '/admin/faults' + (path ? '?path=' + encodeURIComponent(path) : ''))
      .then((reply) => { setStatus('Cleared ' + (reply && reply.deleted) + ' faults'); return reload(); }).catch(fail);
    const path = el('input', {id: 'fault-path', placeholder: '/7/find', required: true});
    const mode = el('select', {id: 'fault-mode'}, ['drop', 'drop-after', 'garbage', 'error', 'delay'].map((m) => el('option', {value: m}, m)));
    const count = el('input', {id: 'fault-count', type: 'number', min: 0, value: 1, title: '0: every request until cleared'});
    const code = el('input', {id: 'fault-code', type: 'number', placeholder: 'for error'});
    const delay = el('input', {id: 'fault-delay', type: 'number', min: 0, placeholder: 'for delay'});
    const message = el('span', {id: 'fault-message'});
    const add = async () => {
      const fault = {path: path.value.trim(), mode: mode.value, count: Number(count.value || 1)};
      if (code.value !== '') fault.code = Number(code.value);
      if (delay.value !== '') fault.delayMs = Number(delay.value);
      message.textContent = '';
      try {
        await api('POST', '/admin/faults', fault);
        setStatus('Added a ' + fault.mode + ' fault on ' + fault.path);
        await reload();
      } catch (e) {
        message.className = 'bad';
        message.textContent = e.message;
      }
    };
    show('Injected faults',
         el('form', {class: 'toolbar', id: 'fault-form', onsubmit: (e) => { e.preventDefault(); add(); }},
            el('label', {class: 'grow'}, 'Path', path), el('label', {}, 'Mode', mode),
            el('label', {}, 'Requests (0: all)', count), el('label', {}, 'Code', code), el('label', {}, 'Delay (ms)', delay),
            el('button', {type: 'submit', class: 'primary', id: 'add-fault'}, 'Add'),
            el('button', {type: 'button', class: 'danger', id: 'clear-faults', onclick: () => clearFaults('')}, 'Clear all'),
            message),
         list);
    render(faults);
    done('faults');
  }

  // The emulator's settings, and emptying all of its data.
  async function viewSettings() {
    const mine = generation;
    const settings = await api('GET', '/admin/settings');
    if (mine !== generation) return;
    const absolute = el('input', {id: 'setting-absolute', type: 'checkbox', checked: settings.absoluteFileUrls === true});
    const idle = el('input', {id: 'setting-idle', type: 'number', min: 0, value: settings.uploadSessionIdleMs});
    const message = el('span', {id: 'settings-message'});
    const save = async () => {
      message.textContent = '';
      try {
        const saved = await api('POST', '/admin/settings', {absoluteFileUrls: absolute.checked, uploadSessionIdleMs: Number(idle.value)});
        absolute.checked = saved.absoluteFileUrls === true;
        idle.value = saved.uploadSessionIdleMs;
        message.className = 'ok';
        message.textContent = 'Saved.';
      } catch (e) {
        message.className = 'bad';
        message.textContent = e.message;
      }
    };
    const clearAll = async () => {
      if (!confirm('Remove every object, user, file, mail and push delivery? This cannot be undone.')) return;
      try {
        const r = await api('POST', '/admin/clear', {});
        setStatus('Removed ' + r.objects + ' objects (' + r.users + ' users), ' + r.files + ' files, ' + r.outbox +
                  ' messages and ' + r.pushes + ' push deliveries');
      } catch (e) {
        fail(e);
      }
    };
    show('Settings',
         el('form', {class: 'panel', id: 'settings-form', onsubmit: (e) => { e.preventDefault(); save(); }},
            el('div', {class: 'toolbar'},
               el('label', {class: 'inline'}, absolute, ' File URLs as absolute addresses (http://host:port/files/…)')),
            el('div', {class: 'toolbar'},
               el('label', {}, 'Idle time of an unfinished upload (ms)', idle)),
            el('div', {class: 'toolbar'}, el('button', {type: 'submit', class: 'primary', id: 'save-settings'}, 'Save'), message)),
         el('h3', {}, 'Data'),
         el('div', {class: 'panel'},
            el('p', {}, 'Empties the emulator: every object (users, roles and installations too), stored file, ' +
                        'outbox message and push delivery. Faults and settings stay.'),
            el('button', {class: 'danger', id: 'clear-all', onclick: clearAll}, 'Clear all data…')));
    done('settings');
  }

  // The live request log: polls for the entries after the last one seen.
  async function viewRequests() {
    const mine = generation;
    let last = 0;
    let paused = false;
    const rows = el('tbody', {});
    const filter = el('input', {id: 'request-filter', placeholder: 'filter, e.g. /7/find', class: 'grow'});
    const detail = el('div', {id: 'request-detail'});
    let selected = 0;
    const showDetail = (entry, row) => {
      for (const r of rows.querySelectorAll('tr.selected')) r.classList.remove('selected');
      if (selected === entry.seq) {
        selected = 0;
        detail.replaceChildren();
        return;
      }
      selected = entry.seq;
      row.classList.add('selected');
      const item = (name, key, value) => [el('dt', {}, name), el('dd', {'data-key': key}, value)];
      const took = entry.micros < 1000 ? entry.micros + ' µs' : (entry.micros / 1000).toFixed(1) + ' ms';
      detail.replaceChildren(el('div', {class: 'panel detail'},
        el('h3', {}, entry.method + ' ' + entry.target),
        el('dl', {},
           item('class', 'className', entry.className || '–'),
           item('object', 'objectId', entry.objectId || '–'),
           item('data keys', 'keys', (entry.keys || []).length ? entry.keys.map((k) => el('span', {class: 'tag'}, k)) : '–'),
           item('where', 'where', entry.where === null || entry.where === undefined ? '–'
                                  : el('pre', {}, JSON.stringify(entry.where, null, 2))),
           item('session', 'signedIn', entry.signedIn ? 'with a session token' : 'none'),
           item('answer', 'answer', (entry.status === 0 ? 'dropped' : 'HTTP ' + entry.status) + ', code ' + entry.code +
                                    (entry.fault ? ' (fault: ' + entry.fault + ')' : '') + ', ' + (entry.bytes || 0) + ' bytes'),
           item('at', 'at', new Date(entry.atMs).toISOString() + ', took ' + took),
           item('peer', 'remote', entry.remote || 'in-process')),
        el('div', {class: 'count'}, 'Values of the data, passwords, tokens and file bytes are not kept.')));
    };
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
                         el('div', {class: 'toolbar'}, filter, pause), detail,
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
        const row = el('tr', {'data-seq': entry.seq, class: 'clickable', onclick: () => showDetail(entry, row)},
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
                 functions: viewFunctions, realtime: viewRealtime, requests: viewRequests, faults: viewFaults,
                 settings: viewSettings};
  // The views that follow the data on their own, every so many ms.
  const autoRefresh = {users: 2000, outbox: 2000, files: 2000, push: 2000, realtime: 2000, functions: 3000};

  function fail(error) {
    setStatus('Error: ' + (error && error.message ? error.message : error), true);
    document.body.dataset.loaded = 'error';
  }

  function route() {
    generation += 1;
    shownData = null;
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
  // Choosing the tab of the page shown loads it again.
  document.getElementById('nav').addEventListener('click', (e) => {
    const link = e.target.closest('a');
    if (link && link.getAttribute('href') === location.hash) {
      e.preventDefault();
      route();
    }
  });
  route();
})();
