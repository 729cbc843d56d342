'use strict';

// The main job of the module, end to end against a virtual relay. For now:
// load the module and log in both line formats.
const lc = require('..');

const log = new lc.Log('demo');
log.info('module loaded with ' + Object.keys(lc).join(', '));
lc.Log.setMode('simple');
log.info('simple mode: the message alone');
lc.Log.setMode('full');
log.info('back to full lines');
log.flush();
