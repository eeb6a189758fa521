// The virtual monitor: numerics and traces of what the unit received, live from /live.
// Each trace plays its samples at the rate they arrive (given by the emulator) and
// sweeps left to right; a wave the emulator reports as stopped is blanked and marked.
"use strict";

const WAVES = ["abp", "pap", "cvp", "pleth", "co2"];
const SWEEP_SECONDS = 6;       // one sweep across a trace
const MAX_LAG_SECONDS = 0.5;   // queued samples beyond this are played at once
const COLOURS = { abp: "#e44", pap: "#ee4", cvp: "#4cf", pleth: "#4ef", co2: "#ee4" };

const traces = {};
for (const name of WAVES) {
  const box = document.getElementById("trace-" + name);
  traces[name] = { box: box, canvas: box.querySelector("canvas"), rate: 0, live: false,
                   queue: [], ring: [], x: 0, due: 0, lo: Infinity, hi: -Infinity };
}

function setText(id, text) {
  const element = document.getElementById(id);
  if (element && element.textContent !== text) element.textContent = text;
}

function sensorsText(numerics) {
  const off = [];
  if (numerics.sbp === "0") off.push("NIBP");
  if (numerics.t1 === "0") off.push("T1");
  if (numerics.t2 === "0") off.push("T2");
  return off.length ? off.join(", ") + " off" : "all on";
}

function show(update) {
  setText("unit", "Virtual monitor: " + update.unit);
  const numerics = update.numerics || {};
  for (const name in numerics) setText("num-" + name, numerics[name]);
  setText("sensors", sensorsText(numerics));
  for (const name of WAVES) {
    const wave = (update.waves || {})[name];
    if (!wave) continue;
    const trace = traces[name];
    trace.rate = wave.rate;
    trace.live = wave.live;
    for (const v of wave.samples) if (v !== null) trace.queue.push(v);
    trace.box.dataset.state = wave.live ? "live" : "stopped";
    setText("rate-" + name, wave.live ? wave.rate.toFixed(0) + " samples/s" : "");
    if (!wave.live) { trace.queue = []; trace.ring = []; trace.x = 0; trace.lo = Infinity; trace.hi = -Infinity; }
  }
}

function stopAll() {
  for (const name of WAVES) {
    const trace = traces[name];
    trace.live = false;
    trace.queue = []; trace.ring = [];
    trace.box.dataset.state = "stopped";
    setText("rate-" + name, "");
  }
}

function connect() {
  const link = document.getElementById("link");
  const socket = new WebSocket("ws://" + location.host + "/live");
  socket.onopen = () => { link.dataset.state = "live"; link.textContent = "live"; };
  socket.onmessage = (event) => show(JSON.parse(event.data));
  socket.onclose = () => {
    link.dataset.state = "lost";
    link.textContent = "connection to the emulator lost; retrying";
    stopAll();
    setTimeout(connect, 2000);
  };
}

function draw(trace, dt) {
  const canvas = trace.canvas;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
  const context = canvas.getContext("2d");
  if (!trace.live || trace.rate <= 0) { context.clearRect(0, 0, width, height); return; }
  // Play the queued samples at the received rate, catching up when far behind.
  trace.due += trace.rate * dt;
  let take = Math.floor(trace.due);
  trace.due -= take;
  if (trace.queue.length > trace.rate * MAX_LAG_SECONDS) take = trace.queue.length;
  const perSweep = Math.max(2, Math.round(trace.rate * SWEEP_SECONDS));
  for (let i = 0; i < take && trace.queue.length; ++i) {
    const v = trace.queue.shift();
    trace.lo = Math.min(trace.lo, v); trace.hi = Math.max(trace.hi, v);
    trace.ring[trace.x] = v;
    trace.x = (trace.x + 1) % perSweep;
  }
  trace.ring.length = Math.min(trace.ring.length, perSweep);
  const span = trace.hi > trace.lo ? trace.hi - trace.lo : 1;
  const y = (v) => height - 8 - (v - trace.lo) / span * (height - 28);
  context.clearRect(0, 0, width, height);
  context.strokeStyle = COLOURS[Object.keys(traces).find((k) => traces[k] === trace)];
  context.lineWidth = 2;
  context.beginPath();
  let pen = false;
  for (let i = 0; i < trace.ring.length; ++i) {
    // The gap ahead of the sweep is the erase bar.
    if (i >= trace.x && i < trace.x + perSweep / 40) { pen = false; continue; }
    const px = i / perSweep * width;
    if (pen) context.lineTo(px, y(trace.ring[i])); else context.moveTo(px, y(trace.ring[i]));
    pen = true;
  }
  context.stroke();
}

// A timer rather than animation frames: those are not run for a page that is not
// shown (a background tab, a headless browser), and the traces must keep sweeping.
const DRAW_PERIOD_MS = 40;
let last = performance.now();
function frame() {
  const now = performance.now();
  const dt = Math.min(0.25, (now - last) / 1000);
  last = now;
  for (const name of WAVES) draw(traces[name], dt);
}

connect();
setInterval(frame, DRAW_PERIOD_MS);
