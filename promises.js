'use strict';

// `require('lc-tiles/promises')`: the promise forms of the classes.
module.exports = require('./lib/promises');
