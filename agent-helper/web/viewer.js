// The viewer page: shows the remote screen and sends pointer, wheel, keyboard, text and files.
'use strict';

const $ = (id) => document.getElementById(id);

// Browser key codes (layout independent) to the names the host's key table knows.
const KEY_NAMES = (() => {
  const names = {
    Enter: 'enter', NumpadEnter: 'enter', Tab: 'tab', Space: 'space', Backspace: 'backspace',
    Escape: 'escape', ArrowLeft: 'left', ArrowRight: 'right', ArrowUp: 'up', ArrowDown: 'down',
    Equal: '=', Minus: '-', BracketRight: ']', BracketLeft: '[', Quote: "'", Semicolon: ';',
    Backslash: '\\', Comma: ',', Slash: '/', Period: '.',
  };
  for (let c = 65; c <= 90; c++) names['Key' + String.fromCharCode(c)] = String.fromCharCode(c + 32);
  for (let d = 0; d <= 9; d++) { names['Digit' + d] = String(d); names['Numpad' + d] = String(d); }
  return names;
})();

const DRAG_THRESHOLD_PX = 5;
const DRAG_MOVE_INTERVAL_MS = 30;
const TOUCH_DOUBLE_TAP_MS = 250;
const WHEEL_PIXELS_PER_LINE = 40;

// Figures for people and tests: how many frames or updates arrived and when (see the benchmark).
const stats = { framesReceived: 0, framesDrawn: 0, lastTimestamp: 0, lastDrawnAt: 0, onDraw: null, onClipboard: null };
window.qovaViewerStats = stats;

// Served by the server agents dial out to (always HTTPS) rather than by the agent itself: the page
// then asks for the device ID too.
const VIA_SERVER = location.protocol === 'https:';
const UPLOAD_PIECE_BYTES = 256 * 1024;
const UPLOAD_BUFFERED_MAX = 1024 * 1024;

let socket = null;
// The exchange on the access code in progress, then the two sealed directions: once `sealed`, every
// message both ways is sealed, and one that does not open ends the session.
let login = null;
let channel = null;             // {toAgent, fromAgent, confirmed}
let sealed = false;
const TAMPERED = '连接已被篡改，会话已结束';
let deviceOffline = '';        // why the server let us go: the device went away or the session ended
let uploadAnswer = null;       // resolves the file being sent through the server
let uploadToken = null;
let accessCode = '';
let loginWaiting = false;     // the host asked us to log in again a little later
let frameInfo = null;          // header of the picture on screen
let pictureRect = null;        // where it is drawn, in CSS pixels of the canvas
let decoding = false;
let queuedFrame = null;        // newest frame that arrived while one was decoding
// The picture at its own pixels, painted by frames or updates and presented scaled or 1:1.
const backBuffer = document.createElement('canvas');
// A copy within the picture goes through here: drawing a canvas onto itself makes the browser
// snapshot all of it first, ten times the cost of the part moved.
const copyBuffer = document.createElement('canvas');
stats.picture = backBuffer;
let unsharp = null;            // the picture area last presented the quick way, in picture pixels
let sharpenTimer = 0;
const SHARPEN_AFTER_MS = 150;
let pictureShown = false;
let actualSize = false;        // 1:1 with scrolling instead of fitting the window
const updates = [];            // updates waiting to be drawn, in order: each builds on the one before
let drawingUpdates = false;
const cursor = { x: 0, y: 0, visible: false, shape: null };  // shape: {width, height, hotX, hotY}
const rate = { drawn: 0, bytes: 0, rtt: null };

function setText(id, text) { $(id).textContent = text; }

// ---- connection ----------------------------------------------------------------------------

function connect(code) {
  accessCode = code;
  $('connect').disabled = true;
  setText('login-error', '');
  deviceOffline = '';
  const ws = new WebSocket(VIA_SERVER ? `wss://${location.host}/viewer` : `ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  socket = ws;
  hostClipboardPieces = '';  // a text cut off with the last connection
  login = null;
  channel = null;
  sealed = false;
  ws.onopen = () => ws.send(openingMessage());
  // Opening may answer a promise: messages are taken one after the other, in the order they came.
  let inbound = Promise.resolve();
  ws.onmessage = (event) => { inbound = inbound.then(() => receive(ws, event.data)).catch(() => {}); };
  ws.onclose = () => {
    if (socket !== ws) return;
    socket = null;
    uploadToken = null;
    $('sealed').hidden = true;
    $('connect').disabled = false;
    if (uploadAnswer) uploadAnswer({ ok: false, error: 'closed' });
    if (deviceOffline) {
      $('viewer').hidden = true;
      $('login').hidden = false;
      setText('login-error', deviceOffline);
    } else if (loginWaiting) {
      // The host lets a login wait only so long; a fresh connection waits on (once per refusal).
      loginWaiting = false;
      setTimeout(() => { if (!socket) connect(accessCode); }, 1000);
    } else if (!$('viewer').hidden) {
      $('connection').className = 'badge bad';
      setText('connection', '连接已断开，正在重连…');
      setTimeout(() => { if (!socket) connect(accessCode); }, 1500);
    } else if (!$('login-error').textContent) {
      setText('login-error', '无法连接到本机服务');
    }
  };
}

// A fresh exchange for every attempt: the code never leaves the page, only a share made from it.
function openingMessage() {
  const deviceId = $('device-id').value.trim();
  login = QovaSeal.startLogin(accessCode, VIA_SERVER ? deviceId : QovaSeal.LOCAL_CHANNEL);
  return JSON.stringify(VIA_SERVER ? { ...login.opening, deviceId } : login.opening);
}

async function receive(ws, data) {
  if (socket !== ws) return;
  if (!channel || !channel.confirmed) return beforeSealed(ws, data);
  // The server may still say it let the device go or ended the session: it can do that anyway.
  if (typeof data === 'string' && serverNotice(data)) return onText(data);
  const opened = typeof data === 'string' ? null : await channel.fromAgent.open(data);
  if (socket !== ws) return;
  if (!opened) return tampered(ws);
  if (opened.binary) onFrame(opened.payload.buffer.slice(opened.payload.byteOffset, opened.payload.byteOffset + opened.payload.byteLength));
  else onText(opened.payload);
}

// Until the agent proved it holds the key: its share and answers about the code come in the clear,
// its proof comes as the first sealed message.
async function beforeSealed(ws, data) {
  if (typeof data !== 'string') {
    const opened = channel && await channel.fromAgent.open(data);
    if (socket !== ws) return;
    let proof = null;
    try { proof = opened && !opened.binary && JSON.parse(opened.payload); } catch { proof = null; }
    if (!proof || !login.accept(proof)) return tampered(ws);
    channel.confirmed = sealed = true;
    return;
  }
  let message;
  try { message = JSON.parse(data); } catch { return; }
  if (message.type === 'seal' && login && !channel) {
    const answer = login.answer(message, VIA_SERVER ? String(message.ticket || '') : QovaSeal.LOCAL_BINDING);
    if (!answer) return tampered(ws);
    channel = { toAgent: answer.toAgent, fromAgent: answer.fromAgent, confirmed: false };
    ws.send(JSON.stringify(answer.proof));
  } else if (message.type === 'auth' && !message.ok) {
    channel = null;
    onText(data);
  } else if (serverNotice(data)) {
    onText(data);
  }
}

function serverNotice(text) {
  try { return VIA_SERVER && ['offline', 'ended'].includes(JSON.parse(text).type); } catch { return false; }
}

// Whatever arrives that does not open was altered, dropped, replayed or reordered on the way.
function tampered(ws) {
  deviceOffline = TAMPERED;
  $('connection').className = 'badge bad';
  setText('connection', TAMPERED);
  ws.close();
}

// Sealing may answer a promise: each message takes its place when sealed and leaves in that order.
// Resolves once it is handed to the socket.
let outbound = Promise.resolve();
function sendOn(ws, message) {
  if (ws !== socket || ws.readyState !== WebSocket.OPEN || !sealed) return outbound;
  const data = typeof message === 'string' || message instanceof ArrayBuffer ? message : JSON.stringify(message);
  const sealedData = channel.toAgent.seal(data);
  outbound = outbound.then(() => sealedData).then((bytes) => { if (ws.readyState === WebSocket.OPEN) ws.send(bytes); })
    .catch(() => {});
  return outbound;
}

function send(message) {
  if (uploadToken) sendOn(socket, message);
}

function onText(text) {
  let message;
  try { message = JSON.parse(text); } catch { return; }
  if (message.type === 'auth') {
    loginWaiting = false;
    if (!message.ok && message.retryMs > 0) {
      // Too many tries on this machine just now (someone may be guessing): the code was not judged.
      loginWaiting = true;
      setText('login-error', '尝试过于频繁，稍后自动重试…');
      const ws = socket;
      setTimeout(() => {
        if (socket === ws && ws.readyState === WebSocket.OPEN) ws.send(openingMessage());
      }, Math.min(message.retryMs, 10000));
      return;
    }
    if (!message.ok) {
      setText('login-error', '验证码不正确');
      $('connect').disabled = false;
      $('code').select();
      return;
    }
    uploadToken = message.token;
    $('sealed').hidden = !sealed;
    setText('sealed', `端到端加密 · 设备 ${message.deviceId || ''}`);
    $('login').hidden = true;
    $('viewer').hidden = false;
    $('connection').className = 'badge ok';
    setText('connection', '已连接');
    resizeCanvas();
    $('screen').focus();
  } else if (message.type === 'offline' || message.type === 'ended') {
    deviceOffline = message.type === 'offline' ? '设备已离线' : message.reason === 'tampered' ? TAMPERED : '会话已结束';
    $('connection').className = 'badge bad';
    setText('connection', deviceOffline);
  } else if (message.type === 'upload') {
    if (uploadAnswer) uploadAnswer(message);
  } else if (message.type === 'permission') {
    showPermissions(message);
  } else if (message.type === 'viewers') {
    setText('viewers', message.count > 1 ? `${message.count} 个查看者` : '');
  } else if (message.type === 'clipboard') {
    onHostClipboard(message);
  } else if (message.type === 'displays') {
    showDisplays(message);
  }
}

// The host's displays, when it lists them: with several, a choice goes to the agent, which then shows
// every viewer the chosen one. The list comes again with each new picture, naming the one shown.
function showDisplays(message) {
  const displays = Array.isArray(message.displays) ? message.displays : [];
  const pick = $('display-pick');
  pick.hidden = displays.length < 2;
  pick.replaceChildren(...displays.map((display) => {
    const option = document.createElement('option');
    option.value = String(display.id);
    option.textContent = `${display.name || '显示器'}${display.main ? '（主）' : ''} · ${display.width}×${display.height}`;
    return option;
  }));
  pick.value = String(message.current);
  stats.displays = { current: message.current, ids: displays.map((display) => display.id) };
}

function chooseDisplay(event) {
  send({ type: 'display', id: Number(event.target.value) });
  $('screen').focus();
}

function showPermissions(message) {
  const badge = (id, label, granted) => {
    $(id).className = 'badge' + (granted === undefined ? '' : granted ? ' ok' : ' bad');
    setText(id, `${label}：${granted === undefined ? '未知' : granted ? '已授权' : '未授权'}`);
  };
  badge('perm-screen', '屏幕录制', message.known ? message.screen : undefined);
  badge('perm-input', '辅助功能', message.known ? message.input : undefined);
  const warnings = [];
  if (message.known && !message.screen) warnings.push('主机未授予屏幕录制权限，无法显示画面。');
  if (message.known && !message.input) warnings.push('主机未授予辅助功能权限，鼠标和键盘操作不会生效。');
  $('perm-warning').hidden = warnings.length === 0;
  setText('perm-warning', warnings.join(' '));
}

// ---- the host's clipboard ------------------------------------------------------------------

const HOST_CLIPBOARD_MAX = 1 << 21;  // characters; the host sends at most 1 MiB of UTF-8
let hostClipboardPieces = '';  // null while the rest of a text too long to keep goes by
let hostClipboard = '';
let clipboardStatusTimer = null;

// A long text comes in pieces, all but the last marked "more".
function onHostClipboard(message) {
  if (typeof message.text !== 'string') return;
  if (hostClipboardPieces !== null) hostClipboardPieces += message.text;
  if (hostClipboardPieces?.length > HOST_CLIPBOARD_MAX) hostClipboardPieces = null;
  if (message.more) return;
  const text = hostClipboardPieces;
  hostClipboardPieces = '';
  if (!text) return;
  hostClipboard = text;
  if (stats.onClipboard) stats.onClipboard(hostClipboard);
  copyHostClipboard(false);
}

// The browser lets a page write the clipboard only when it has the focus (and, over plain HTTP to
// another machine, not at all): then the button offers the text, since a click may always copy it.
async function copyHostClipboard(clicked) {
  const text = hostClipboard;
  let copied = false;
  try {
    await navigator.clipboard.writeText(text);
    copied = true;
  } catch {
    if (clicked) copied = copyBySelection(text);
  }
  $('clipboard-copy').hidden = copied;
  $('clipboard-copy').title = copied ? '' : text.length > 200 ? text.slice(0, 200) + '…' : text;
  setText('clipboard-status', copied ? '已复制主机剪贴板' : '');
  clearTimeout(clipboardStatusTimer);
  clipboardStatusTimer = setTimeout(() => setText('clipboard-status', ''), 3000);
}

function copyBySelection(text) {
  const area = document.createElement('textarea');
  area.value = text;
  area.style.position = 'fixed';
  area.style.opacity = '0';
  document.body.appendChild(area);
  area.select();
  let copied = false;
  try { copied = document.execCommand('copy'); } catch { copied = false; }
  area.remove();
  $('screen').focus();
  return copied;
}

// ---- frames and updates --------------------------------------------------------------------

function onFrame(buffer) {
  if (buffer.byteLength < 4) return;
  const view = new DataView(buffer);
  const headerLength = view.getUint32(0);
  if (4 + headerLength > buffer.byteLength) return;
  let header;
  try { header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, headerLength))); } catch { return; }
  stats.framesReceived++;
  rate.bytes += buffer.byteLength;
  if (Array.isArray(header.rects)) {
    updates.push({ header, buffer, offset: 4 + headerLength, ws: socket });
    if (!drawingUpdates) drawUpdates();
    return;
  }
  const jpeg = new Blob([new Uint8Array(buffer, 4 + headerLength)], { type: 'image/jpeg' });
  // Decoding is slower than arrival on a weak machine: only the newest waiting frame is kept.
  queuedFrame = { header, jpeg };
  if (!decoding) decodeNext();
}

function drawn(header) {
  stats.framesDrawn++;
  stats.lastTimestamp = header.timestamp;
  stats.lastDrawnAt = Date.now();
  rate.drawn++;
  if (stats.onDraw) stats.onDraw(header);
}

function fitBackBuffer(width, height) {
  if (backBuffer.width !== width || backBuffer.height !== height) {
    backBuffer.width = width;
    backBuffer.height = height;
  }
}

async function decodeNext() {
  decoding = true;
  while (queuedFrame) {
    const { header, jpeg } = queuedFrame;
    queuedFrame = null;
    try {
      const bitmap = await createImageBitmap(jpeg);
      fitBackBuffer(bitmap.width, bitmap.height);
      backBuffer.getContext('2d').drawImage(bitmap, 0, 0);
      bitmap.close();
      frameInfo = header;
      cursor.visible = false;  // a frame has the pointer drawn in
      present();
      drawn(header);
    } catch {
      // A damaged picture is skipped; the next one replaces it.
    }
  }
  decoding = false;
}

const COPY = 2;

// Rects decode side by side but are painted in their order (later ones paint over earlier ones). The
// agent sends the next update once this one is acknowledged, which it is as its drawing begins: the
// next one travels while this one is painted, and at most one waits here behind it. A copy moves part
// of the picture as it stands at its turn (a scroll), so it waits for the rects before it like any other.
async function drawUpdates() {
  drawingUpdates = true;
  while (updates.length) {
    const { header, buffer, offset, ws } = updates.shift();
    sendOn(ws, { type: 'ack', seq: header.seq });
    let at = offset;
    const images = header.rects.map(([x, y, w, h, kind, length, sx, sy]) => {
      if (kind === COPY) return { x, y, w, h, source: [sx, sy] };
      const from = Math.min(at, buffer.byteLength);
      const blob = new Blob([new Uint8Array(buffer, from, Math.min(length, buffer.byteLength - from))], { type: kind === 1 ? 'image/png' : 'image/jpeg' });
      at += length;
      return { x, y, w, h, bitmap: createImageBitmap(blob).catch(() => null) };
    });
    fitBackBuffer(header.width, header.height);
    const context = backBuffer.getContext('2d');
    let moving = false;  // a scroll or a half-resolution area: more is likely to follow soon
    for (const image of images) {
      if (image.source) {
        moving = true;
        copyWithin(image);
        continue;
      }
      const bitmap = await image.bitmap;
      if (!bitmap) continue;  // a damaged rect is left as it was; the next change of it repaints it
      // A half-resolution rect is doubled by repeating pixels, six times quicker than filtering;
      // presenting it filters once, and it comes again sharp once still.
      const half = bitmap.width < image.w;
      moving ||= half;
      context.imageSmoothingEnabled = !half;
      context.drawImage(bitmap, image.x, image.y, image.w, image.h);
      context.imageSmoothingEnabled = true;
      bitmap.close();
    }
    takePointer(header, buffer, at);
    const sameGeometry = frameInfo && frameInfo.width === header.width && frameInfo.height === header.height;
    frameInfo = header;
    if (header.rtt !== undefined) rate.rtt = header.rtt;
    present(sameGeometry && !header.full ? changedBox(header.rects) : null, moving);
    drawn(header);
  }
  drawingUpdates = false;
}

function copyWithin({ x, y, w, h, source: [sx, sy] }) {
  if (w <= 0 || h <= 0) return;
  if (copyBuffer.width < w || copyBuffer.height < h) [copyBuffer.width, copyBuffer.height] = [Math.max(w, copyBuffer.width), Math.max(h, copyBuffer.height)];
  const scratch = copyBuffer.getContext('2d');
  scratch.globalCompositeOperation = 'copy';
  scratch.drawImage(backBuffer, sx, sy, w, h, 0, 0, w, h);
  backBuffer.getContext('2d').drawImage(copyBuffer, 0, 0, w, h, x, y, w, h);
}

function takePointer(header, buffer, at) {
  if (Array.isArray(header.cursor)) [cursor.x, cursor.y, cursor.visible] = [header.cursor[0], header.cursor[1], header.cursor[2] === 1];
  if (!Array.isArray(header.shape)) return;
  const [width, height, hotX, hotY, length] = header.shape;
  if (at + length > buffer.byteLength || length !== width * height * 4) return;
  const canvas = $('pointer');
  canvas.width = width;
  canvas.height = height;
  canvas.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(buffer, at, length), width, height), 0, 0);
  cursor.shape = { width, height, hotX, hotY };
}

function resizeCanvas() { present(); }

// The back buffer onto the visible canvas: scaled to fit (aspect kept, centred) or one picture pixel
// per device pixel in a scrolling stage.
// The picture area an update's rects cover; empty when it has none (a pointer move).
function changedBox(rects) {
  if (!rects.length) return { x: 0, y: 0, w: 0, h: 0 };
  const left = Math.min(...rects.map((r) => r[0]));
  const top = Math.min(...rects.map((r) => r[1]));
  const right = Math.max(...rects.map((r) => r[0] + r[2]));
  const bottom = Math.max(...rects.map((r) => r[1] + r[3]));
  return { x: left, y: top, w: right - left, h: bottom - top };
}

// Scaling the whole picture with high quality costs a software-rendering browser most of an update;
// when only `box` (picture pixels) changed and the layout holds, only that part is drawn again. It is
// sampled with a margin and clipped to the box, so its edges blend as a whole redraw would.
// While something moves it is scaled the quick way, a fifth of the careful one's cost in a
// software-rendering browser, and carefully once it has been still for a moment.
function presentChanged(box, quick) {
  const canvas = $('screen');
  if (!pictureRect || canvas.width !== Math.max(1, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1)))) return false;
  if (box.w === 0 || box.h === 0) return placePointer(), true;
  const cssRatio = canvas.width / canvas.clientWidth;
  const scale = (pictureRect.w * cssRatio) / backBuffer.width;
  const margin = Math.ceil(2 / Math.min(scale, 1)) + 2;
  const sx = Math.max(0, box.x - margin), sy = Math.max(0, box.y - margin);
  const sw = Math.min(backBuffer.width, box.x + box.w + margin) - sx, sh = Math.min(backBuffer.height, box.y + box.h + margin) - sy;
  const [ox, oy] = [pictureRect.x * cssRatio, pictureRect.y * cssRatio];
  const context = canvas.getContext('2d');
  context.save();
  context.beginPath();
  context.rect(Math.floor(ox + box.x * scale), Math.floor(oy + box.y * scale), Math.ceil(box.w * scale) + 1, Math.ceil(box.h * scale) + 1);
  context.clip();
  context.imageSmoothingQuality = quick ? 'low' : 'high';
  context.drawImage(backBuffer, sx, sy, sw, sh, ox + sx * scale, oy + sy * scale, sw * scale, sh * scale);
  context.restore();
  placePointer();
  if (quick) {
    unsharp = unsharp ? changedBox([unsharp, box].map((b) => [b.x, b.y, b.w, b.h])) : box;
    clearTimeout(sharpenTimer);
    // Never in the middle of an update: the picture would show it half drawn.
    sharpenTimer = setTimeout(function sharpen() {
      if (drawingUpdates) return void (sharpenTimer = setTimeout(sharpen, SHARPEN_AFTER_MS));
      const area = unsharp;
      unsharp = null;
      if (area) present(area);
    }, SHARPEN_AFTER_MS);
  }
  return true;
}

function present(box = null, quick = false) {
  if (box && presentChanged(box, quick)) return;
  const canvas = $('screen');
  const ratio = window.devicePixelRatio || 1;
  const surface = $('surface');
  $('stage').classList.toggle('actual', actualSize);
  surface.style.width = actualSize && frameInfo ? `${backBuffer.width / ratio}px` : '';
  surface.style.height = actualSize && frameInfo ? `${backBuffer.height / ratio}px` : '';
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  unsharp = null;  // all of it is drawn carefully now
  const context = canvas.getContext('2d');
  context.fillStyle = '#0f121a';
  context.fillRect(0, 0, canvas.width, canvas.height);
  if (!frameInfo) return;
  $('waiting').hidden = true;
  const scale = actualSize ? 1 : Math.min(canvas.width / backBuffer.width, canvas.height / backBuffer.height);
  const w = backBuffer.width * scale;
  const h = backBuffer.height * scale;
  const x = (canvas.width - w) / 2;
  const y = (canvas.height - h) / 2;
  context.imageSmoothingQuality = 'high';
  context.drawImage(backBuffer, x, y, w, h);
  const cssRatio = canvas.width / canvas.clientWidth;
  pictureRect = { x: x / cssRatio, y: y / cssRatio, w: w / cssRatio, h: h / cssRatio };
  stats.pictureRect = pictureRect;
  stats.frame = frameInfo;
  placePointer();
}

function placePointer() {
  const canvas = $('pointer');
  const shape = cursor.shape;
  canvas.hidden = !(cursor.visible && shape && pictureRect);
  stats.pointer = { x: cursor.x, y: cursor.y, visible: cursor.visible };
  if (canvas.hidden) return;
  const scale = pictureRect.w / backBuffer.width;  // CSS pixels per picture pixel
  canvas.style.width = `${shape.width * scale}px`;
  canvas.style.height = `${shape.height * scale}px`;
  canvas.style.transform = `translate(${pictureRect.x + (cursor.x - shape.hotX) * scale}px, ${pictureRect.y + (cursor.y - shape.hotY) * scale}px)`;
}

function showRate() {
  const kbits = Math.round((rate.bytes * 8) / 1000);
  setText('rate', pictureShown || rate.drawn ? `${rate.drawn}/s · ${kbits} kbit/s · ${rate.rtt === null ? '–' : rate.rtt} ms` : '');
  pictureShown = pictureShown || rate.drawn > 0;
  rate.drawn = 0;
  rate.bytes = 0;
}

// ---- pointer, wheel, keyboard --------------------------------------------------------------

// A position on the page to the host's display coordinates; null outside the picture, unless
// `clamp` asks for the nearest point on it (a drag that leaves the picture goes on at its edge).
function displayPoint(event, clamp = false) {
  if (!pictureRect || !frameInfo) return null;
  const box = $('screen').getBoundingClientRect();
  let u = (event.clientX - box.left - pictureRect.x) / pictureRect.w;
  let v = (event.clientY - box.top - pictureRect.y) / pictureRect.h;
  if (clamp) {
    u = Math.min(1, Math.max(0, u));
    v = Math.min(1, Math.max(0, v));
  }
  if (u < 0 || u > 1 || v < 0 || v > 1) return null;
  const x = Math.min(frameInfo.inputWidth - 1, u * frameInfo.inputWidth);
  const y = Math.min(frameInfo.inputHeight - 1, v * frameInfo.inputHeight);
  return { x: Math.round(x * 10) / 10, y: Math.round(y * 10) / 10 };
}

const pointer = { down: null, dragging: false, lastMove: 0, moveTimer: null, pendingMove: null, touchTap: null };

function sendDragMove() {
  pointer.moveTimer = null;
  if (!pointer.pendingMove) return;
  send({ type: 'input', action: 'dragMove', ...pointer.pendingMove });
  pointer.pendingMove = null;
  pointer.lastMove = performance.now();
}

function onPointerDown(event) {
  $('screen').focus();
  if (event.button !== 0 && event.button !== 2) return;
  const point = displayPoint(event);
  if (!point) return;
  event.preventDefault();
  $('screen').setPointerCapture(event.pointerId);
  pointer.down = { point, clientX: event.clientX, clientY: event.clientY, button: event.button, type: event.pointerType };
  pointer.dragging = false;
}

function onPointerMove(event) {
  if (!pointer.down || pointer.down.button !== 0) return;
  const point = displayPoint(event, true);
  if (!point) return;
  if (!pointer.dragging) {
    const distance = Math.hypot(event.clientX - pointer.down.clientX, event.clientY - pointer.down.clientY);
    if (distance < DRAG_THRESHOLD_PX) return;
    pointer.dragging = true;
    send({ type: 'input', action: 'dragStart', ...pointer.down.point, button: 'left' });
  }
  // The host pauses after each step: a step every 30 ms is smooth and never piles up.
  pointer.pendingMove = point;
  if (!pointer.moveTimer) {
    const wait = Math.max(0, DRAG_MOVE_INTERVAL_MS - (performance.now() - pointer.lastMove));
    pointer.moveTimer = setTimeout(sendDragMove, wait);
  }
}

function onPointerUp(event) {
  const down = pointer.down;
  if (!down) return;
  pointer.down = null;
  const point = displayPoint(event, true) || down.point;
  if (pointer.dragging) {
    clearTimeout(pointer.moveTimer);
    sendDragMove();
    send({ type: 'input', action: 'dragEnd', ...point });
    pointer.dragging = false;
    return;
  }
  if (down.button === 2) {
    send({ type: 'input', action: 'rightClick', ...down.point });
  } else if (down.type === 'touch') {
    // A finger has no double-click of its own: a second tap soon after makes it a double tap.
    if (pointer.touchTap) {
      clearTimeout(pointer.touchTap.timer);
      pointer.touchTap = null;
      send({ type: 'input', action: 'doubleTap', ...down.point, button: 'left' });
    } else {
      const tap = { point: down.point };
      tap.timer = setTimeout(() => { pointer.touchTap = null; send({ type: 'input', action: 'tap', ...tap.point, button: 'left' }); }, TOUCH_DOUBLE_TAP_MS);
      pointer.touchTap = tap;
    }
  } else {
    // A mouse click goes at once; two quick clicks become a double click on the host as they
    // would with a local mouse.
    send({ type: 'input', action: 'tap', ...down.point, button: 'left' });
  }
}

let wheelLines = 0;
let wheelTimer = null;
function onWheel(event) {
  event.preventDefault();
  const lines = event.deltaMode === 1 ? event.deltaY : event.deltaMode === 2 ? event.deltaY * 10 : event.deltaY / WHEEL_PIXELS_PER_LINE;
  wheelLines += lines;
  if (wheelTimer) return;
  wheelTimer = setTimeout(() => {
    wheelTimer = null;
    const whole = Math.trunc(wheelLines);
    if (whole === 0) return;
    wheelLines -= whole;
    send({ type: 'input', action: 'scroll', deltaY: Math.max(-10, Math.min(10, whole)) });
  }, 50);
}

function typingInPage(event) {
  const target = event.target;
  return target instanceof HTMLTextAreaElement || target instanceof HTMLInputElement;
}

// The character the key produced on this keyboard's layout, to be typed as such on any host layout;
// null for shortcuts (Ctrl, Meta, or Alt that is not AltGr) and for keys that produce no character.
function producedCharacter(event) {
  const altGraph = event.getModifierState && event.getModifierState('AltGraph');
  if (event.metaKey || (!altGraph && (event.ctrlKey || event.altKey))) return null;
  return /^\P{Cc}$/u.test(event.key) ? event.key : null;
}

function onKeyDown(event) {
  if ($('viewer').hidden || typingInPage(event)) return;
  // A dead key only starts a character, which arrives whole with the next key.
  if (event.key === 'Dead' && !event.ctrlKey && !event.metaKey) return event.preventDefault();
  const char = producedCharacter(event);
  // A key this page has no name for still types its character; an older host ignores the name.
  const key = KEY_NAMES[event.code] || (char && 'unidentified');
  if (!key) return;
  const modifiers = [];
  if (event.metaKey) modifiers.push('command');
  if (event.ctrlKey) modifiers.push('ctrl');
  if (event.altKey) modifiers.push('alt');
  if (event.shiftKey) modifiers.push('shift');
  // Ctrl+V / Cmd+V are left to the browser, whose paste event carries the text (see onPaste).
  if (key === 'v' && (event.ctrlKey || event.metaKey) && !event.altKey) return;
  event.preventDefault();
  send({ type: 'input', action: 'key', key, modifiers, ...(char && { char }) });
}

function sendText(text) {
  if (!text) return false;
  send({ type: 'input', action: 'text', text });
  return true;
}

function onPaste(event) {
  if ($('viewer').hidden || typingInPage(event)) return;
  const text = event.clipboardData && event.clipboardData.getData('text/plain');
  if (text) {
    event.preventDefault();
    sendText(text);
  }
}

// ---- files ---------------------------------------------------------------------------------

const uploads = [];
let uploading = false;

function queueUploads(files) {
  for (const file of files) uploads.push(file);
  if (!uploading) uploadNext();
}

async function uploadNext() {
  uploading = true;
  while (uploads.length) {
    const file = uploads.shift();
    setText('upload-status', `正在发送 ${file.name}…`);
    const result = await uploadOverSocket(file);
    setText('upload-status', result.ok ? `已发送 ${result.name}` : `发送失败：${file.name}（${result.error}）`);
  }
  uploading = false;
}

// Announces the file, then sends it sealed in pieces, never letting much wait in the socket; the
// device answers once it has it all.
async function uploadOverSocket(file) {
  const ws = socket;
  if (!ws || !uploadToken) return { ok: false, error: 'not connected' };
  const answer = new Promise((resolve) => { uploadAnswer = resolve; });
  sendOn(ws, { type: 'upload', name: file.name, size: file.size });
  for (let offset = 0; offset < file.size && socket === ws; offset += UPLOAD_PIECE_BYTES) {
    while (ws.bufferedAmount > UPLOAD_BUFFERED_MAX && socket === ws) await new Promise((r) => setTimeout(r, 20));
    const piece = await file.slice(offset, offset + UPLOAD_PIECE_BYTES).arrayBuffer();
    await sendOn(ws, piece);
  }
  const result = await answer;
  uploadAnswer = null;
  return result;
}

// ---- wiring --------------------------------------------------------------------------------

function init() {
  if (VIA_SERVER) {
    $('device-row').hidden = false;
    $('device-id').required = true;
    setText('login-hint', '输入对方应用窗口中显示的设备 ID 和验证码。');
  }
  $('login-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const code = $('code').value.trim();
    if (code) connect(code);
  });
  const canvas = $('screen');
  canvas.addEventListener('pointerdown', onPointerDown);
  canvas.addEventListener('pointermove', onPointerMove);
  canvas.addEventListener('pointerup', onPointerUp);
  canvas.addEventListener('pointercancel', () => { pointer.down = null; pointer.dragging = false; });
  canvas.addEventListener('contextmenu', (event) => event.preventDefault());
  canvas.addEventListener('wheel', onWheel, { passive: false });
  document.addEventListener('keydown', onKeyDown);
  document.addEventListener('paste', onPaste);
  window.addEventListener('resize', resizeCanvas);
  $('display-pick').addEventListener('change', chooseDisplay);
  setInterval(showRate, 1000);
  $('scale-toggle').addEventListener('click', () => {
    actualSize = !actualSize;
    setText('scale-toggle', actualSize ? '适应窗口' : '1:1');
    present();
    canvas.focus();
  });

  $('clipboard-copy').addEventListener('click', () => copyHostClipboard(true));
  $('paste-send').addEventListener('click', () => {
    if (sendText($('paste-text').value)) {
      $('paste-text').value = '';
      canvas.focus();
    }
  });
  $('file-input').addEventListener('change', (event) => {
    queueUploads(event.target.files);
    event.target.value = '';
  });
  const stage = $('stage');
  stage.addEventListener('dragover', (event) => {
    if (!event.dataTransfer || !event.dataTransfer.types.includes('Files')) return;
    event.preventDefault();
    $('drop-hint').hidden = false;
  });
  stage.addEventListener('dragleave', () => { $('drop-hint').hidden = true; });
  stage.addEventListener('drop', (event) => {
    event.preventDefault();
    $('drop-hint').hidden = true;
    if (event.dataTransfer && event.dataTransfer.files.length) queueUploads(event.dataTransfer.files);
  });
}

init();
