'use strict';

// The module's log lines for a program: one 'line' event per line,
// { level, time, source, message }, on the script thread and in order. The
// lines are taken only while someone listens, and the tap never keeps the
// process alive. Lines the script falls far behind on are dropped by the
// native side; their count arrives as a 'dropped' event.
const { EventEmitter } = require('events');
const native = require('./native');

const logs = new EventEmitter();

function deliver(lines, dropped) {
  if (dropped > 0) logs.emit('dropped', dropped);
  for (const line of lines) logs.emit('line', line);
}

let tapped = false;
function retap() {
  const wanted = logs.listenerCount('line') > 0 || logs.listenerCount('dropped') > 0;
  if (wanted === tapped) return;
  tapped = wanted;
  native.Log.tap(wanted ? deliver : null);
}
logs.on('removeListener', () => process.nextTick(retap));
// A listener added now takes the lines logged from now on, not from the next tick.
logs.on('newListener', (event) => {
  if ((event === 'line' || event === 'dropped') && !tapped) {
    tapped = true;
    native.Log.tap(deliver);
  }
});

/** Switches the module's console output (standard error); 'line' events go on. */
logs.setConsole = (on) => native.Log.setConsole(on);

module.exports = { logs };
